#include "platform/fd_io.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace korvan {

bool WriteAll(int fd, std::string_view bytes, SystemCalls& calls) {
  while (!bytes.empty()) {
    const ssize_t n = calls.Write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool ReadAll(int fd, std::size_t limit, std::string* out, bool* too_big, SystemCalls& calls) {
  out->clear();
  *too_big = false;
  char buffer[65536];
  for (;;) {
    const ssize_t n = calls.Read(fd, buffer, sizeof buffer);
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
  if (this != &other) {
    SystemCalls* const calls = other.calls_;
    reset(other.release());
    calls_ = calls;
  }
  return *this;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) {
    // No retry after EINTR: Linux has released the descriptor either way, and
    // a second close could hit one another thread has just opened.
    if (calls_ != nullptr) {
      calls_->Close(fd_);
    } else {
      ::close(fd_);
    }
  }
  fd_ = fd;
}

bool PollFor(int fd, short events, std::uint32_t timeout_ms, SystemCalls& calls) {
  using Steady = std::chrono::steady_clock;
  const Steady::time_point deadline = Steady::now() + std::chrono::milliseconds(timeout_ms);
  pollfd p{fd, events, 0};
  int wait_ms = static_cast<int>(timeout_ms);
  for (;;) {
    const int r = calls.Poll(&p, 1, wait_ms);
    if (r >= 0 || errno != EINTR) return r > 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Steady::now()).count();
    wait_ms = left > 0 ? static_cast<int>(left) : 0;
  }
}

}  // namespace korvan
