// Which target addresses the server may connect to.
//
// By default no one reaches the server's own networks through it: loopback,
// private, shared (carrier-grade NAT), link-local, unspecified, multicast and
// reserved ranges are refused, also when an IPv6 address embeds such an IPv4
// one. The operator opens them with --allow-private.
#pragma once

#include <boost/asio/ip/address.hpp>

namespace korvan::server {

bool IsPublicAddress(const boost::asio::ip::address& address);

struct TargetPolicy {
  bool allow_private = false;
  bool Allows(const boost::asio::ip::address& address) const { return allow_private || IsPublicAddress(address); }
};

}  // namespace korvan::server
