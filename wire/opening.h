// The opening message that the local proxy sends first on every tunnel
// connection: who the user is, which word list it packs with, what the
// server should filter and which service the connection wants.
//
// Layout, little-endian:
//   0  4  user ID (signed)          9  1  word-list version
//   4  5  MD5(password)[0..4]       10 1  host identity byte
//   11 1  picture compression (GIF level << 4 | JPEG level)
//   12 2  filter options word       14 1  service byte (time-out << 4 | protocol)
// Bytes 0..10 are the login block.
//
// Thread rule: pure functions and values; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace korvan {

// Protocol codes of a port, as carried in the low nibble of the service byte.
enum class Protocol : std::uint8_t { kHttp = 0, kTcpIp = 1, kSocks4 = 2, kSmtp = 3, kAccountQuery = 4 };

// Filter options word: a set bit asks the server to act.
inline constexpr std::uint16_t kFilter468x60 = 0x0001;
inline constexpr std::uint16_t kFilter234x60 = 0x0002;
inline constexpr std::uint16_t kFilter125x125 = 0x0004;
inline constexpr std::uint16_t kFilter120x240 = 0x0008;
inline constexpr std::uint16_t kFilter88x31 = 0x0010;
inline constexpr std::uint16_t kFilter120x90 = 0x0020;
inline constexpr std::uint16_t kFilter120x60 = 0x0040;
inline constexpr std::uint16_t kFilter160x600 = 0x0080;
inline constexpr std::uint16_t kFilter240x400 = 0x0100;
inline constexpr std::uint16_t kFilter180x150 = 0x0200;
inline constexpr std::uint16_t kFilter120x600 = 0x0400;
inline constexpr std::uint16_t kFilter300x250 = 0x0800;
inline constexpr std::uint16_t kFilter250x250 = 0x1000;
inline constexpr std::uint16_t kFilter240x240 = 0x2000;
inline constexpr std::uint16_t kFilterOptimizeHtml = 0x4000;
inline constexpr std::uint16_t kFilterBlockFlash = 0x8000;

inline constexpr std::size_t kLoginBlockSize = 11;
inline constexpr std::size_t kOpeningSize = 15;

// The account-info request frame: tfShortLength | tfControl, length 1, 'k'.
inline constexpr std::array<std::uint8_t, 3> kAccountInfoRequest = {0x0C, 0x01, 0x6B};

using LoginBlock = std::array<std::uint8_t, kLoginBlockSize>;

// The first five bytes of the MD5 digest of the password's bytes as typed.
std::array<std::uint8_t, 5> PasswordDigestPrefix(std::string_view password);

LoginBlock MakeLoginBlock(std::int32_t user_id, std::string_view password, std::uint8_t word_list_version,
                          std::uint8_t host_identity);

// GIF and JPEG levels 0..15 (0 strongest, 15 none); values outside are clamped.
std::uint8_t MakePictureCompressionByte(int gif_level, int jpeg_level);

// Protocol in the low nibble, the port's time-out 0..15 in the high nibble.
std::uint8_t MakeServiceByte(Protocol protocol, int timeout);

// The 15-byte opening message, followed by the account-info request when
// `account_info_wanted` is set (18 bytes then).
std::vector<std::uint8_t> BuildOpening(const LoginBlock& login, std::uint8_t picture_compression,
                                       std::uint16_t filter_word, std::uint8_t service_byte,
                                       bool account_info_wanted);

// The fields of a received opening message, for the server side.
struct OpeningFields {
  std::int32_t user_id = 0;
  std::array<std::uint8_t, 5> password_digest{};
  std::uint8_t word_list_version = 0;
  std::uint8_t host_identity = 0;
  std::uint8_t picture_compression = 0;
  std::uint16_t filter_word = 0;
  std::uint8_t service_byte = 0;

  std::uint8_t protocol() const { return service_byte & 0x0F; }
  std::uint8_t timeout() const { return service_byte >> 4; }
  std::uint8_t gif_level() const { return picture_compression >> 4; }
  std::uint8_t jpeg_level() const { return picture_compression & 0x0F; }
};

// Reads the 15 bytes at the front of `bytes`; nullopt when fewer are there.
std::optional<OpeningFields> ParseOpening(std::span<const std::uint8_t> bytes);

}  // namespace korvan
