// Reading and writing file descriptors (standard input and output, pipes,
// files) in large blocks: one system call per block, never per byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvan {

// The block size the codec commands read with.
inline constexpr std::size_t kIoBlockSize = 256 * 1024;

// One read(2) of at most `room` bytes into `data`, repeated when a signal
// interrupts it. Returns the count read, 0 at the end of input, -1 on error.
long ReadSome(int fd, std::uint8_t* data, std::size_t room);

// Reads `fd` to its end. Keeps the first `limit` bytes in `data` and counts
// the rest in `total` only, so that a caller can say how much too much came
// without holding it. False on a read error.
bool ReadToEnd(int fd, std::size_t limit, std::vector<std::uint8_t>& data, std::size_t& total);

// Writes all of `data`, going on after partial writes and interruptions.
// False on a write error.
bool WriteAll(int fd, std::span<const std::uint8_t> data);

}  // namespace korvan
