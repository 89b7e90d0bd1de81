// Small helpers around POSIX descriptors: whole reads and writes that retry
// after signals and short transfers. Each helper makes its calls through the
// SystemCalls it is given, the kernel's unless a test hands in its own.
//
// Thread rule: the helpers stand alone (any thread); a UniqueFd belongs to one
// owner at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/system_calls.h"

namespace korvan {

// Writes all of `bytes`; false (errno set) on failure.
bool WriteAll(int fd, std::string_view bytes, SystemCalls& calls = RealSystemCalls());
// Reads to end of file, at most `limit` bytes; false (errno set) on failure,
// *too_big set when the file holds more than `limit`.
bool ReadAll(int fd, std::size_t limit, std::string* out, bool* too_big, SystemCalls& calls = RealSystemCalls());
std::string ErrnoText(int error);
// Waits until `fd` has one of `events` (poll flags), at most `timeout_ms` in
// all; retries after signals with the time that is left. False on time-out
// or error.
bool PollFor(int fd, short events, std::uint32_t timeout_ms, SystemCalls& calls = RealSystemCalls());

// Owns a descriptor and closes it, through the calls it was given (the
// kernel's by default), so that a test layer sees the close too.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(int fd, SystemCalls& calls) : fd_(fd), calls_(&calls) {}
  ~UniqueFd();
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()), calls_(other.calls_) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the held descriptor and takes `fd`, to be closed the same way.
  void reset(int fd = -1);
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  // Null means the kernel's: globals built before main need no other object.
  SystemCalls* calls_ = nullptr;
};

}  // namespace korvan
