// One running window mode per user: an exclusive flock() on a file in the
// user's runtime folder, held for the life of the process. The kernel drops
// the lock when the process ends, however it ends, so a crashed instance
// never blocks the next start. The file itself is never removed: removing
// it would let two starts lock two different files.
//
// Thread rule: main thread only.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "platform/fd_io.h"

namespace korvan {

struct InstanceLockPlace {
  std::filesystem::path file;
  // The folder is ours to create, for this user alone.
  bool private_folder = false;
};

// $XDG_RUNTIME_DIR/korvan-<uid>.lock, else korvan.lock in a folder
// korvan-<uid> of the temporary folder that only this user may enter.
InstanceLockPlace InstanceLockPath(const std::function<const char*(const char*)>& getenv);

class InstanceLock {
 public:
  enum class State { kHeld, kTakenByAnother, kFailed };

  // Tries once, never waits. With `private_folder` the file's folder is
  // created for this user alone, and refused when it is anything else. A second try on a path this process already
  // holds through another InstanceLock also reports kTakenByAnother. When
  // another process holds the lock, nothing on disk changes.
  explicit InstanceLock(const std::filesystem::path& file, bool private_folder = false);
  explicit InstanceLock(const InstanceLockPlace& place) : InstanceLock(place.file, place.private_folder) {}
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  State state() const { return state_; }
  // Why kFailed, for the user.
  const std::string& error() const { return error_; }

 private:
  UniqueFd fd_;
  State state_ = State::kFailed;
  std::string error_;
};

}  // namespace korvan
