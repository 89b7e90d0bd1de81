#include "platform/locked_log_file.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvan {

std::unique_ptr<LockedLogFile> LockedLogFile::Open(const std::filesystem::path& path, std::string* error) {
  const auto fail = [&](const std::string& what) -> std::unique_ptr<LockedLogFile> {
    if (error != nullptr) *error = path.string() + ": " + what;
    return nullptr;
  };
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644));
  if (!fd) return fail(ErrnoText(errno));
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    return fail(errno == EWOULDBLOCK ? "in use by another process" : ErrnoText(errno));
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return fail("not a regular file");

  // Only the tail of a large log goes into the memo, starting at a line.
  const auto size = static_cast<std::size_t>(info.st_size);
  const std::size_t skip = size > kMaxLoaded ? size - kMaxLoaded : 0;
  std::string content;
  bool too_big = false;
  if (::lseek(fd.get(), static_cast<off_t>(skip), SEEK_SET) < 0 ||
      !ReadAll(fd.get(), kMaxLoaded, &content, &too_big)) {
    return fail(ErrnoText(errno));
  }
  if (skip > 0) {
    const std::size_t line = content.find('\n');
    content.erase(0, line == std::string::npos ? content.size() : line + 1);
  }
  auto file = std::unique_ptr<LockedLogFile>(new LockedLogFile(std::move(fd)));
  file->initial_ = std::move(content);
  return file;
}

bool LockedLogFile::Append(std::string_view bytes) { return WriteAll(fd_.get(), bytes); }

bool LockedLogFile::Truncate() { return ::ftruncate(fd_.get(), 0) == 0; }

}  // namespace korvan
