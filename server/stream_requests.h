// The first bytes of the stream services, cut from the client's data: the
// port mapping's "Host:" block and the SOCKS 4 / 4a request. Pure functions
// over untrusted bytes; each says how many bytes the request took, so that
// whatever follows goes on to the target.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "server/proxy_target.h"

namespace korvan::server {

// Not enough bytes yet to decide.
struct NeedMore {};
// The bytes can never form a valid request.
struct Malformed {
  std::string reason;
};

// "Host: host:port\r\n\r\n" (header name in any case, blanks allowed after
// the colon). At most kMaxMappingRequest bytes.
inline constexpr std::size_t kMaxMappingRequest = 1024;
struct MappingRequest {
  TargetAddress target;
  std::size_t consumed = 0;
};
std::variant<NeedMore, Malformed, MappingRequest> ParseMappingRequest(std::span<const std::uint8_t> bytes);

// SOCKS 4: VN=4, CD, DSTPORT (big-endian), DSTIP, USERID, NUL; for 4a
// (DSTIP 0.0.0.x, x != 0) the host name and NUL follow.
inline constexpr std::size_t kMaxSocksField = 255;
struct SocksRequest {
  std::uint8_t command = 0;  // 1 connect, 2 bind
  TargetAddress target;      // host is an IPv4 literal unless 4a named a host
  std::size_t consumed = 0;
};
std::variant<NeedMore, Malformed, SocksRequest> ParseSocksRequest(std::span<const std::uint8_t> bytes);

inline constexpr std::uint8_t kSocksGranted = 0x5A;
inline constexpr std::uint8_t kSocksRejected = 0x5B;
// The 8-byte reply: 0, the code, then port and address (zeros when rejected).
std::array<std::uint8_t, 8> SocksReply(std::uint8_t code, std::uint16_t port = 0,
                                       std::array<std::uint8_t, 4> address = {});

}  // namespace korvan::server
