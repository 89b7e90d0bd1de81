#include "server/proxy_header.h"

#include <algorithm>
#include <array>

namespace korvan::server {

namespace {

constexpr std::array<std::uint8_t, 12> kSignature = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                                     0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr std::uint8_t kVersion2 = 0x20;
constexpr std::uint8_t kCommandLocal = 0x00;
constexpr std::uint8_t kCommandProxy = 0x01;
constexpr std::uint8_t kTcpOverIpv4 = 0x11;
constexpr std::uint8_t kTcpOverIpv6 = 0x21;

}  // namespace

ProxyHeader ParseProxyHeader(std::span<const std::uint8_t> bytes) {
  ProxyHeader header;
  // A wrong byte anywhere in the signature is known as soon as it arrives.
  const std::size_t known = std::min(bytes.size(), kSignature.size());
  if (!std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(known), kSignature.begin())) {
    header.outcome = ProxyHeader::Outcome::kBad;
    return header;
  }
  if (bytes.size() < kProxyHeaderFixed) return header;
  const std::uint8_t version = bytes[12] & 0xF0;
  const std::uint8_t command = bytes[12] & 0x0F;
  const std::size_t length = (std::size_t{bytes[14]} << 8) | bytes[15];
  if (version != kVersion2 || (command != kCommandLocal && command != kCommandProxy) ||
      kProxyHeaderFixed + length > kProxyHeaderMost) {
    header.outcome = ProxyHeader::Outcome::kBad;
    return header;
  }
  if (bytes.size() < kProxyHeaderFixed + length) return header;
  header.outcome = ProxyHeader::Outcome::kDone;
  header.size = kProxyHeaderFixed + length;
  if (command == kCommandLocal) return header;
  const auto block = bytes.subspan(kProxyHeaderFixed, length);
  // The addresses come first; anything after them (TLVs) is skipped.
  if (bytes[13] == kTcpOverIpv4) {
    if (length < 12) {
      header.outcome = ProxyHeader::Outcome::kBad;
      return header;
    }
    boost::asio::ip::address_v4::bytes_type v4;
    std::copy_n(block.begin(), v4.size(), v4.begin());
    header.source = boost::asio::ip::address_v4(v4);
  } else if (bytes[13] == kTcpOverIpv6) {
    if (length < 36) {
      header.outcome = ProxyHeader::Outcome::kBad;
      return header;
    }
    boost::asio::ip::address_v6::bytes_type v6;
    std::copy_n(block.begin(), v6.size(), v6.begin());
    header.source = boost::asio::ip::address_v6(v6);
  }
  return header;
}

}  // namespace korvan::server
