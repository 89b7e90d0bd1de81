#include "platform/locked_log_file.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvan {
namespace {

int FtruncateRetrying(SystemCalls& calls, int fd, off_t length) {
  for (;;) {
    const int r = calls.Ftruncate(fd, length);
    if (r == 0 || errno != EINTR) return r;
  }
}

}  // namespace

std::unique_ptr<LockedLogFile> LockedLogFile::Open(const std::filesystem::path& path, std::string* error,
                                                   SystemCalls& calls) {
  const auto fail = [&](const std::string& what) -> std::unique_ptr<LockedLogFile> {
    if (error != nullptr) *error = path.string() + ": " + what;
    return nullptr;
  };
  int opened = -1;
  do {
    opened = calls.Open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
  } while (opened < 0 && errno == EINTR);
  UniqueFd fd(opened, calls);
  if (!fd) return fail(ErrnoText(errno));
  int locked = -1;
  do {
    locked = calls.Flock(fd.get(), LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) return fail(errno == EWOULDBLOCK ? "in use by another process" : ErrnoText(errno));
  struct stat info {};
  if (calls.Fstat(fd.get(), &info) != 0) return fail(ErrnoText(errno));
  if (!S_ISREG(info.st_mode)) return fail("not a regular file");

  // Only the tail of a large log goes into the memo, starting at a line.
  const auto size = static_cast<std::size_t>(info.st_size);
  const std::size_t skip = size > kMaxLoaded ? size - kMaxLoaded : 0;
  std::string content;
  bool too_big = false;
  if (calls.Lseek(fd.get(), static_cast<off_t>(skip), SEEK_SET) < 0 ||
      !ReadAll(fd.get(), kMaxLoaded, &content, &too_big, calls)) {
    return fail(ErrnoText(errno));
  }
  if (skip > 0) {
    const std::size_t line = content.find('\n');
    content.erase(0, line == std::string::npos ? content.size() : line + 1);
  }
  auto file = std::unique_ptr<LockedLogFile>(new LockedLogFile(std::move(fd), path, calls));
  file->initial_ = std::move(content);
  return file;
}

bool LockedLogFile::Fail(int error) {
  last_error_ = path_.string() + ": " + ErrnoText(error);
  errno = error;
  return false;
}

bool LockedLogFile::Append(std::string_view bytes) {
  // The end is asked for each time rather than counted: the lock is advisory,
  // and a cut to a stale length could take away someone else's lines or pad
  // the file with zeros.
  struct stat before {};
  const bool known = calls_.Fstat(fd_.get(), &before) == 0;
  if (!WriteAll(fd_.get(), bytes, calls_)) {
    const int error = errno;
    // Part of the bytes may be in: cut them off again.
    if (known) FtruncateRetrying(calls_, fd_.get(), before.st_size);
    return Fail(error);
  }
  last_error_.clear();
  return true;
}

bool LockedLogFile::Truncate() {
  if (FtruncateRetrying(calls_, fd_.get(), 0) != 0) return Fail(errno);
  last_error_.clear();
  return true;
}

}  // namespace korvan
