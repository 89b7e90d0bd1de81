// Admission of local clients by the address they came in on.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "response/client_access.h"

namespace korvan {
namespace {

std::uint32_t Ip(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

constexpr std::string_view kDenied = "Nepovolen\xFD p\xF8\xEDstup p\xF8\x65s %s!";

TEST(ClientAccess, ExactEntriesOnly) {
  EXPECT_TRUE(CheckIP("127.0.0.1", "127.0.0.1", Ip("127.0.0.1"), 5000, -1, true, kDenied).admitted);
  EXPECT_TRUE(CheckIP("127.0.0.1;192.168.0.10", "192.168.0.10", Ip("192.168.0.7"), 5000, -1, true, kDenied).admitted);
  // A prefix of the local address is not the address.
  const AccessDecision d = CheckIP("192.168.0.1", "192.168.0.10", Ip("192.168.0.7"), 5000, -1, true, kDenied);
  EXPECT_FALSE(d.admitted);
  EXPECT_EQ(d.log_text, "Nepovolen\xFD p\xF8\xEDstup p\xF8\x65s 192.168.0.10!\r\n\t IP: 192.168.0.7");
  // Unlogged when the switch is off, or for the any-address.
  EXPECT_TRUE(CheckIP("127.0.0.1", "10.0.0.1", Ip("10.0.0.2"), 1, -1, false, kDenied).log_text.empty());
  EXPECT_TRUE(CheckIP("127.0.0.1", "0.0.0.0", Ip("10.0.0.2"), 1, -1, true, kDenied).log_text.empty());
}

TEST(ClientAccess, TheUpdatersConnectionOnlyOverLoopback) {
  EXPECT_TRUE(CheckIP("", "127.0.0.1", Ip("127.0.0.1"), 40000, 40000, true, kDenied).admitted);
  // The same source port through the network card is an ordinary client.
  EXPECT_FALSE(CheckIP("", "192.168.0.10", Ip("192.168.0.7"), 40000, 40000, true, kDenied).admitted);
}

}  // namespace
}  // namespace korvan
