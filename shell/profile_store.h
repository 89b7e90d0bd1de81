// Where a profile file's bytes live. The shell reads and writes its
// configuration through this interface only; the platform layer stores the
// bytes in a real file and tests keep them in memory.
//
// Contract: Load and Replace each open and release the file inside the call;
// nothing stays open between calls. Replace swaps the whole content in one
// step: a reader sees the old or the new bytes, never a mixture.
//
// Thread rule: main thread only.
#pragma once

#include <string>
#include <string_view>

namespace korvan {

struct ProfileLoad {
  enum class Status { kOk, kMissing, kError };
  Status status = Status::kMissing;
  std::string bytes;  // the content when kOk
  std::string error;  // why, when kError
};

class ProfileStore {
 public:
  virtual ~ProfileStore() = default;
  virtual ProfileLoad Load() = 0;
  // False (and *error set) when the content could not be stored.
  virtual bool Replace(std::string_view bytes, std::string* error) = 0;
};

}  // namespace korvan
