// The container every update URL delivers: one block of a flags byte, a
// payload length of 1, 2 or 4 bytes, an optional 4-byte unpacked size, and
// the payload, stored or as a zlib stream.
//
// Thread rule: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvan {

inline constexpr std::uint8_t kBlockDeflated = 0x80;
inline constexpr std::uint8_t kBlockLength4 = 0x18;
inline constexpr std::uint8_t kBlockLength2 = 0x10;
inline constexpr std::uint8_t kBlockUnpackedSize = 0x60;
// The size an unpacked-size field stands for when it is absent.
inline constexpr std::uint32_t kBlockDefaultUnpackedSize = 65535;
// No download, container or unpacked file may be larger than this.
inline constexpr std::size_t kMaxUpdateFileSize = 256u << 20;

// The header of a block at the start of `data`, when the data hold it.
struct UpdateBlockHeader {
  std::uint8_t flags = 0;
  std::size_t header_size = 0;
  std::uint64_t payload_size = 0;
  std::uint32_t unpacked_size = kBlockDefaultUnpackedSize;
  std::uint64_t total_size() const { return header_size + payload_size; }
};
std::optional<UpdateBlockHeader> ReadUpdateBlockHeader(std::string_view data);

// The content of a body that is exactly one block. Nullopt and *error set
// when the body is not exactly one well-formed block, the zlib stream is
// damaged or ends early, the content would exceed kMaxUpdateFileSize, or
// the content is empty.
std::optional<std::string> UnpackUpdateBlock(std::string_view body, std::string* error);

// One block holding `content` (1 byte to kMaxUpdateFileSize): deflated when
// that is smaller, stored otherwise; the length field as short as the
// payload allows; the unpacked-size field present whenever the payload is
// deflated.
std::string PackUpdateBlock(std::string_view content);

}  // namespace korvan
