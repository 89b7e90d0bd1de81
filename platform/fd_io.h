// Small helpers around POSIX descriptors: whole reads and writes that retry
// after signals and short transfers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvan {

// Writes all of `bytes`; false (errno set) on failure.
bool WriteAll(int fd, std::string_view bytes);
// Reads to end of file, at most `limit` bytes; false (errno set) on failure,
// *too_big set when the file holds more than `limit`.
bool ReadAll(int fd, std::size_t limit, std::string* out, bool* too_big);
std::string ErrnoText(int error);
// Waits until `fd` has one of `events` (poll flags), at most `timeout_ms`;
// retries after signals. False on time-out or error.
bool PollFor(int fd, short events, std::uint32_t timeout_ms);

// Owns a descriptor and closes it.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace korvan
