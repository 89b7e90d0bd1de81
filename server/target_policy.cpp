#include "server/target_policy.h"

#include <cstdint>

namespace korvan::server {

namespace {

bool InRange(std::uint32_t ip, std::uint32_t network, int prefix) {
  const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
  return (ip & mask) == (network & mask);
}

constexpr std::uint32_t V4(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

bool IsPublicV4(const boost::asio::ip::address_v4& address) {
  const std::uint32_t ip = address.to_uint();
  struct Range {
    std::uint32_t network;
    int prefix;
  };
  static constexpr Range kRefused[] = {
      {V4(0, 0, 0, 0), 8},       {V4(10, 0, 0, 0), 8},     {V4(100, 64, 0, 0), 10}, {V4(127, 0, 0, 0), 8},
      {V4(169, 254, 0, 0), 16},  {V4(172, 16, 0, 0), 12},  {V4(192, 0, 0, 0), 24},  {V4(192, 168, 0, 0), 16},
      {V4(198, 18, 0, 0), 15},   {V4(224, 0, 0, 0), 4},    {V4(240, 0, 0, 0), 4},
  };
  for (const Range& r : kRefused) {
    if (InRange(ip, r.network, r.prefix)) return false;
  }
  return true;
}

bool IsPublicV6(const boost::asio::ip::address_v6& address) {
  if (address.is_v4_mapped()) return IsPublicV4(boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address));
  const auto b = address.to_bytes();
  bool zero96 = true;
  for (int i = 0; i < 12; ++i) zero96 = zero96 && b[static_cast<std::size_t>(i)] == 0;
  if (zero96) return false;  // unspecified, loopback and the old IPv4-compatible form
  if (b[0] == 0xFF) return false;                  // multicast
  if ((b[0] & 0xFE) == 0xFC) return false;         // unique local fc00::/7
  if (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) return false;  // link-local fe80::/10
  if (b[0] == 0xFE && (b[1] & 0xC0) == 0xC0) return false;  // site-local fec0::/10
  // NAT64 (64:ff9b::/96) and 6to4 (2002::/16) lead to the IPv4 address inside.
  if (b[0] == 0x00 && b[1] == 0x64 && b[2] == 0xFF && b[3] == 0x9B) {
    bool zero = true;
    for (int i = 4; i < 12; ++i) zero = zero && b[static_cast<std::size_t>(i)] == 0;
    if (zero) return IsPublicV4(boost::asio::ip::address_v4({b[12], b[13], b[14], b[15]}));
  }
  if (b[0] == 0x20 && b[1] == 0x02) return IsPublicV4(boost::asio::ip::address_v4({b[2], b[3], b[4], b[5]}));
  return true;
}

}  // namespace

bool IsPublicAddress(const boost::asio::ip::address& address) {
  return address.is_v4() ? IsPublicV4(address.to_v4()) : IsPublicV6(address.to_v6());
}

}  // namespace korvan::server
