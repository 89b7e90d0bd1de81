#include "platform/fd_io.h"

#include <poll.h>

#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace korvan {

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool ReadAll(int fd, std::size_t limit, std::string* out, bool* too_big) {
  out->clear();
  *too_big = false;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (out->size() + static_cast<std::size_t>(n) > limit) {
      *too_big = true;
      return true;
    }
    out->append(buffer, static_cast<std::size_t>(n));
  }
}

std::string ErrnoText(int error) { return std::strerror(error); }

UniqueFd::~UniqueFd() { reset(); }

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool PollFor(int fd, short events, std::uint32_t timeout_ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int r = ::poll(&p, 1, static_cast<int>(timeout_ms));
    if (r < 0 && errno == EINTR) continue;
    return r > 0;
  }
}

}  // namespace korvan
