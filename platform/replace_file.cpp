#include "platform/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace korvan {
namespace {

// Removes the unfinished file and hands back the errno that stopped it.
int Abandon(const std::filesystem::path& temporary, int fd) {
  const int error = errno != 0 ? errno : EIO;
  if (fd >= 0) ::close(fd);
  ::unlink(temporary.c_str());
  return error;
}

}  // namespace

int ReplaceFile(const std::filesystem::path& path, std::string_view text, mode_t new_mode) {
  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  mode_t mode = new_mode;
  struct stat old {};
  if (::stat(path.c_str(), &old) == 0) mode = old.st_mode & 07777;
  const std::filesystem::path temporary = path.string() + ".korvan-new";
  errno = 0;
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return errno != 0 ? errno : EIO;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Abandon(temporary, fd);
    done += static_cast<std::size_t>(n);
  }
  // The umask narrowed the mode that open() gave.
  if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) return Abandon(temporary, fd);
  if (::close(fd) != 0) return Abandon(temporary, -1);
  if (::rename(temporary.c_str(), path.c_str()) != 0) return Abandon(temporary, -1);
  return 0;
}

}  // namespace korvan
