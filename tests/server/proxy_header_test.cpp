// The balancer's header that names the client: parsed as it arrives, and
// anything else refused before a byte of it is trusted.
#include <gtest/gtest.h>

#include <vector>

#include "server/proxy_header.h"

namespace korvan::server::test {
namespace {

std::vector<std::uint8_t> Header(std::uint8_t command, std::uint8_t family, const std::vector<std::uint8_t>& block) {
  static constexpr std::uint8_t kSignature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                                  0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
  std::vector<std::uint8_t> bytes(16 + block.size());
  for (std::size_t i = 0; i < 12; ++i) bytes[i] = kSignature[i];
  bytes[12] = static_cast<std::uint8_t>(0x20 | command);
  bytes[13] = family;
  bytes[14] = static_cast<std::uint8_t>(block.size() >> 8);
  bytes[15] = static_cast<std::uint8_t>(block.size());
  for (std::size_t i = 0; i < block.size(); ++i) bytes[16 + i] = block[i];
  return bytes;
}

TEST(ProxyHeader, NamesTheClientOfBothFamiliesAndSkipsWhatFollowsTheAddresses) {
  // 192.0.2.7:5000 to 10.0.0.1:3893, then a TLV, then the opening's first byte.
  auto v4 = Header(1, 0x11, {192, 0, 2, 7, 10, 0, 0, 1, 0x13, 0x88, 0x0F, 0x35, 0x03, 0x00, 0x01, 0xAA});
  v4.push_back(0x42);
  const auto parsed = ParseProxyHeader(v4);
  ASSERT_EQ(parsed.outcome, ProxyHeader::Outcome::kDone);
  EXPECT_EQ(parsed.size, v4.size() - 1);
  ASSERT_TRUE(parsed.source);
  EXPECT_EQ(parsed.source->to_string(), "192.0.2.7");

  std::vector<std::uint8_t> block(36, 0);
  block[0] = 0x20;
  block[1] = 0x01;
  block[2] = 0x0d;
  block[3] = 0xb8;
  block[15] = 9;
  const auto v6 = ParseProxyHeader(Header(1, 0x21, block));
  ASSERT_EQ(v6.outcome, ProxyHeader::Outcome::kDone);
  EXPECT_EQ(v6.source->to_string(), "2001:db8::9");

  // The balancer's own connection (a health check) and an unknown family
  // name nobody; the header still ends where it says.
  const auto local = ParseProxyHeader(Header(0, 0x00, {}));
  EXPECT_EQ(local.outcome, ProxyHeader::Outcome::kDone);
  EXPECT_EQ(local.size, 16u);
  EXPECT_FALSE(local.source);
  EXPECT_FALSE(ParseProxyHeader(Header(1, 0x31, std::vector<std::uint8_t>(216, 1))).source);
}

TEST(ProxyHeader, WaitsForEveryByteAndRefusesWhatIsNoHeader) {
  const auto whole = Header(1, 0x11, {192, 0, 2, 7, 10, 0, 0, 1, 0x13, 0x88, 0x0F, 0x35});
  for (std::size_t n = 0; n < whole.size(); ++n) {
    EXPECT_EQ(ParseProxyHeader(std::span(whole.data(), n)).outcome, ProxyHeader::Outcome::kIncomplete) << n;
  }
  // A client that speaks at once (no balancer in front) is refused at its
  // first byte, without waiting for sixteen.
  const std::vector<std::uint8_t> opening = {0x01, 0x02};
  EXPECT_EQ(ParseProxyHeader(opening).outcome, ProxyHeader::Outcome::kBad);
  auto bad = whole;
  bad[12] = 0x11;  // version 1 in the binary form
  EXPECT_EQ(ParseProxyHeader(bad).outcome, ProxyHeader::Outcome::kBad);
  bad = whole;
  bad[12] = 0x22;  // no such command
  EXPECT_EQ(ParseProxyHeader(bad).outcome, ProxyHeader::Outcome::kBad);
  // Longer than anything a balancer sends: refused before it is read.
  EXPECT_EQ(ParseProxyHeader(Header(1, 0x11, std::vector<std::uint8_t>(600, 0))).outcome,
            ProxyHeader::Outcome::kBad);
  // Too short for the addresses its family has.
  EXPECT_EQ(ParseProxyHeader(Header(1, 0x11, {1, 2, 3})).outcome, ProxyHeader::Outcome::kBad);
  EXPECT_EQ(ParseProxyHeader(Header(1, 0x21, std::vector<std::uint8_t>(20, 0))).outcome, ProxyHeader::Outcome::kBad);
}

}  // namespace
}  // namespace korvan::server::test
