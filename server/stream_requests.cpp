#include "server/stream_requests.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace korvan::server {

namespace {

std::string_view AsText(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

// The NUL-ended field starting at `pos`: its end, or npos when not yet there.
std::size_t FieldEnd(std::span<const std::uint8_t> bytes, std::size_t pos) {
  const auto it = std::find(bytes.begin() + static_cast<long>(pos), bytes.end(), std::uint8_t{0});
  return it == bytes.end() ? std::string_view::npos : static_cast<std::size_t>(it - bytes.begin());
}

}  // namespace

std::variant<NeedMore, Malformed, MappingRequest> ParseMappingRequest(std::span<const std::uint8_t> bytes) {
  const std::string_view text = AsText(bytes);
  constexpr std::string_view kName = "Host:";
  if (!StartsWithNoCase(text, kName.substr(0, std::min(text.size(), kName.size())))) {
    return Malformed{"the mapping request does not start with Host:"};
  }
  const auto end = text.find("\r\n\r\n");
  if (end == std::string_view::npos) {
    if (text.size() >= kMaxMappingRequest) return Malformed{"the mapping request is too long"};
    return NeedMore{};
  }
  if (end + 4 > kMaxMappingRequest) return Malformed{"the mapping request is too long"};
  std::string_view value = text.substr(kName.size(), end - kName.size());
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  const auto target = ParseAuthority(value);
  if (!target) return Malformed{"the mapping request names no valid host:port"};
  return MappingRequest{*target, end + 4};
}

std::variant<NeedMore, Malformed, SocksRequest> ParseSocksRequest(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return NeedMore{};
  if (bytes[0] != 4) return Malformed{"not a SOCKS 4 request"};
  if (bytes.size() < 9) return NeedMore{};
  SocksRequest request;
  request.command = bytes[1];
  const auto port = static_cast<std::uint16_t>(bytes[2] << 8 | bytes[3]);
  const std::array<std::uint8_t, 4> ip = {bytes[4], bytes[5], bytes[6], bytes[7]};

  const std::size_t user_end = FieldEnd(bytes, 8);
  if (user_end == std::string_view::npos) {
    if (bytes.size() - 8 > kMaxSocksField) return Malformed{"the SOCKS user ID is too long"};
    return NeedMore{};
  }
  if (user_end - 8 > kMaxSocksField) return Malformed{"the SOCKS user ID is too long"};
  request.consumed = user_end + 1;

  const bool names_host = ip[0] == 0 && ip[1] == 0 && ip[2] == 0 && ip[3] != 0;
  if (names_host) {
    const std::size_t host_end = FieldEnd(bytes, request.consumed);
    if (host_end == std::string_view::npos) {
      if (bytes.size() - request.consumed > kMaxSocksField) return Malformed{"the SOCKS host name is too long"};
      return NeedMore{};
    }
    const std::string_view host = AsText(bytes.subspan(request.consumed, host_end - request.consumed));
    if (!IsValidHostName(host) || host.find(':') != std::string_view::npos) {
      return Malformed{"the SOCKS host name is not valid"};
    }
    request.target.host = std::string(host);
    request.consumed = host_end + 1;
  } else {
    request.target.host = std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." +
                          std::to_string(ip[3]);
  }
  request.target.port = port;
  return request;
}

std::array<std::uint8_t, 8> SocksReply(std::uint8_t code, std::uint16_t port, std::array<std::uint8_t, 4> address) {
  return {0,          code,       static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port),
          address[0], address[1], address[2],                            address[3]};
}

}  // namespace korvan::server
