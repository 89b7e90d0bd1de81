// korvan.log, held open for the whole run with an exclusive lock, so that a
// second process cannot write into it. Appends go to the end; Truncate
// empties it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/fd_io.h"
#include "shell/log_file.h"

namespace korvan {

class LockedLogFile : public LogFile {
 public:
  // The memo shows at most this much of an old log: its last lines.
  static constexpr std::size_t kMaxLoaded = 4 << 20;

  // Opens or creates the file; null and *error set when it cannot be opened
  // or another process holds it.
  static std::unique_ptr<LockedLogFile> Open(const std::filesystem::path& path, std::string* error);

  const std::string& initial_content() const override { return initial_; }
  bool Append(std::string_view bytes) override;
  bool Truncate() override;

 private:
  explicit LockedLogFile(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
  std::string initial_;
};

}  // namespace korvan
