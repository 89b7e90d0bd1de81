// korvan.log, held open for the whole run with an exclusive lock, so that a
// second process cannot write into it. Appends go to the end; Truncate
// empties it.
//
// Contract: an Append either adds all of its bytes or, when the disk says
// no, leaves the file as it was (a part already written is cut off again),
// so a full disk never leaves half a line in front of the next one. After a
// failure errno holds the cause and last_error() says it with the file name.
//
// Thread rule: one thread at a time (the shell's main thread).
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/fd_io.h"
#include "platform/system_calls.h"
#include "shell/log_file.h"

namespace korvan {

class LockedLogFile : public LogFile {
 public:
  // The memo shows at most this much of an old log: its last lines.
  static constexpr std::size_t kMaxLoaded = 4 << 20;

  // Opens or creates the file; null and *error set when it cannot be opened
  // or another process holds it.
  static std::unique_ptr<LockedLogFile> Open(const std::filesystem::path& path, std::string* error,
                                             SystemCalls& calls = RealSystemCalls());

  const std::string& initial_content() const override { return initial_; }
  bool Append(std::string_view bytes) override;
  bool Truncate() override;
  // Why the last Append or Truncate failed ("<file>: <reason>"); empty after
  // one that worked.
  std::string last_error() const override { return last_error_; }

 private:
  LockedLogFile(UniqueFd fd, std::filesystem::path path, SystemCalls& calls)
      : fd_(std::move(fd)), path_(std::move(path)), calls_(calls) {}
  bool Fail(int error);

  UniqueFd fd_;
  std::filesystem::path path_;
  SystemCalls& calls_;
  std::string initial_;
  std::string last_error_;
};

}  // namespace korvan
