#include "tools/codec/block_io.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace korvan {

long ReadSome(int fd, std::uint8_t* data, std::size_t room) {
  while (true) {
    const ssize_t n = ::read(fd, data, room);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return -1;
  }
}

bool ReadToEnd(int fd, std::size_t limit, std::vector<std::uint8_t>& data, std::size_t& total) {
  data.clear();
  total = 0;
  std::vector<std::uint8_t> block(kIoBlockSize);
  while (true) {
    const long n = ReadSome(fd, block.data(), block.size());
    if (n < 0) return false;
    if (n == 0) return true;
    const auto got = static_cast<std::size_t>(n);
    const std::size_t keep = data.size() < limit ? std::min(got, limit - data.size()) : 0;
    data.insert(data.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(keep));
    total += got;
  }
}

bool WriteAll(int fd, std::span<const std::uint8_t> data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data = data.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace korvan
