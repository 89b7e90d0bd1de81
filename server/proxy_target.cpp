#include "server/proxy_target.h"

#include <algorithm>
#include <cctype>

namespace korvan::server {

namespace {

bool IsHostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_' || c == ':';
}

std::optional<std::uint16_t> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

}  // namespace

bool IsValidHostName(std::string_view host) {
  return !host.empty() && host.size() <= 253 && std::all_of(host.begin(), host.end(), IsHostChar);
}

std::optional<TargetAddress> ParseAuthority(std::string_view text, std::uint16_t default_port) {
  TargetAddress out;
  std::string_view host;
  std::string_view rest;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = text.substr(1, close - 1);
    rest = text.substr(close + 1);
    if (host.find(':') == std::string_view::npos) return std::nullopt;
  } else {
    const auto colon = text.rfind(':');
    host = colon == std::string_view::npos ? text : text.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
    if (host.find(':') != std::string_view::npos) return std::nullopt;  // bare IPv6 needs brackets
  }
  if (!IsValidHostName(host)) return std::nullopt;
  if (rest.empty()) {
    if (default_port == 0) return std::nullopt;
    out.port = default_port;
  } else {
    if (rest.front() != ':') return std::nullopt;
    const auto port = ParsePort(rest.substr(1));
    if (!port) return std::nullopt;
    out.port = *port;
  }
  out.host = std::string(host);
  return out;
}

std::optional<HttpTarget> ParseHttpTarget(std::string_view target) {
  constexpr std::string_view kScheme = "http://";
  if (target.size() <= kScheme.size()) return std::nullopt;
  for (std::size_t i = 0; i < kScheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(target[i])) != kScheme[i]) return std::nullopt;
  }
  const std::string_view after = target.substr(kScheme.size());
  const auto end = after.find_first_of("/?#");
  const std::string_view authority = after.substr(0, end);
  if (authority.find('@') != std::string_view::npos) return std::nullopt;
  const auto address = ParseAuthority(authority, 80);
  if (!address) return std::nullopt;

  HttpTarget out;
  out.address = *address;
  const bool v6 = address->host.find(':') != std::string::npos;
  out.authority = v6 ? "[" + address->host + "]" : address->host;
  if (address->port != 80) out.authority += ":" + std::to_string(address->port);
  std::string_view path = end == std::string_view::npos ? std::string_view() : after.substr(end);
  path = path.substr(0, path.find('#'));
  out.path = path.empty() || path.front() != '/' ? "/" + std::string(path) : std::string(path);
  return out;
}

}  // namespace korvan::server
