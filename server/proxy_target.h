// Where a proxied request goes: the host and port named by an absolute-form
// request target ("http://host:port/path"), a CONNECT authority
// ("host:port"), a port mapping's "Host:" line or a SOCKS 4a request.
// Pure functions over untrusted text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvan::server {

struct TargetAddress {
  std::string host;  // a name or an address literal, without IPv6 brackets
  std::uint16_t port = 0;
};

struct HttpTarget {
  TargetAddress address;
  std::string authority;  // the Host header to send: host, with ":port" unless 80
  std::string path;       // origin form: starts with "/", query kept, fragment dropped
};

// A host name or address: 1..253 characters of letters, digits, '-', '.',
// '_' or an IPv6 literal's characters; nothing that could smuggle bytes.
bool IsValidHostName(std::string_view host);

// "host:port" or "[v6]:port"; the port must be 1..65535. Without a port,
// `default_port` (0 = a port is required).
std::optional<TargetAddress> ParseAuthority(std::string_view text, std::uint16_t default_port = 0);

// An absolute-form target of scheme http (any case). Credentials in the URL
// are refused.
std::optional<HttpTarget> ParseHttpTarget(std::string_view target);

}  // namespace korvan::server
