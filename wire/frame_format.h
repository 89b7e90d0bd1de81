// Constants of the tunnel's wire format: frame flag bits, control kinds and
// the size limits that both ends rely on. Plain values, no behaviour.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvan {

// Frame flag byte. The low two bits are unused: sent as 0, ignored on receipt.
inline constexpr std::uint8_t tfDeflate = 0x80;      // payload is a zlib stream
inline constexpr std::uint8_t tfWords = 0x40;        // payload has word tokens
inline constexpr std::uint8_t tfHeaderOnly = 0x20;   // tokens only in the leading header
inline constexpr std::uint8_t tfEscape = 0x10;       // escape byte follows the length
inline constexpr std::uint8_t tfShortLength = 0x08;  // one-byte payload length
inline constexpr std::uint8_t tfControl = 0x04;      // first unpacked byte is a control kind

// Control kinds: the first unpacked byte of a control frame from the server.
// Kinds 0..14 are banners (the value picks the replacement picture).
inline constexpr std::uint8_t ckBanner = 0;
inline constexpr std::uint8_t ckBannerLast = 14;
inline constexpr std::uint8_t ckRecompressGif = 20;
inline constexpr std::uint8_t ckFlash = 101;              // 'e'
inline constexpr std::uint8_t ckStatusText = 102;         // 'f'
inline constexpr std::uint8_t ckLoginFailed = 103;        // 'g'
inline constexpr std::uint8_t ckGatewayError = 104;       // 'h'
inline constexpr std::uint8_t ckNoCredit = 105;           // 'i'
inline constexpr std::uint8_t ckConnectOk = 106;          // 'j'
inline constexpr std::uint8_t ckAccountInfo = 107;        // 'k'
inline constexpr std::uint8_t ckFtpListing = 108;         // 'l'
inline constexpr std::uint8_t ckTooManyConnections = 110; // 'n'
inline constexpr std::uint8_t ckCountOnly = 255;

// Kinds whose 16-bit size is read from the payload as it arrived, so these
// frames travel with neither tfDeflate nor tfWords.
constexpr bool TravelsUnpacked(std::uint8_t kind) {
  return kind <= ckBannerLast || kind == ckCountOnly;
}

inline constexpr std::uint8_t kDefaultEscape = 124;  // '|'
inline constexpr std::size_t kMaxRawBlock = 64511;      // raw bytes per frame, sender side
inline constexpr std::size_t kMaxUnpackedBlock = 65535; // unpacked bytes per frame, receiver side
inline constexpr std::size_t kFrameBufferSize = 65535;  // the worker's frame buffer
inline constexpr std::size_t kFrameHeaderRoom = 4;      // packed bytes start here in that buffer
inline constexpr std::size_t kMaxFrameHeader = 4;

}  // namespace korvan
