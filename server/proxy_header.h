// The header a load balancer puts before a connection's own bytes to say
// whose connection it is (HAProxy's `send-proxy-v2`, binary form): without
// it every connection would seem to come from the balancer, and the limits
// and the login back-off per address would count all users as one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include <boost/asio/ip/address.hpp>

namespace korvan::server {

inline constexpr std::size_t kProxyHeaderFixed = 16;  // signature, command, family, length
inline constexpr std::size_t kProxyHeaderMost = kProxyHeaderFixed + 536;  // what we accept in all

struct ProxyHeader {
  enum class Outcome { kIncomplete, kBad, kDone };
  Outcome outcome = Outcome::kIncomplete;
  std::size_t size = 0;  // bytes of the header, when done
  // The client's address; none for the balancer's own connections (LOCAL,
  // its health checks) and for families other than TCP over IPv4 or IPv6.
  std::optional<boost::asio::ip::address> source;
};

// Reads the header at the front of `bytes`: kIncomplete while more is
// needed, kBad when the bytes are no such header (or one longer than we
// accept).
ProxyHeader ParseProxyHeader(std::span<const std::uint8_t> bytes);

}  // namespace korvan::server
