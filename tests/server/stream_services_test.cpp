// Services 1 to 3: port mapping, SOCKS 4 / 4a and SMTP, against real
// servers on loopback.
#include <gtest/gtest.h>

#include "tests/server/origins.h"
#include "tests/server/server_fixture.h"
#include "wire/frame_format.h"

namespace korvan::server::test {
namespace {

std::string HostLine(std::uint16_t port) { return "Host: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n"; }

std::string SocksConnect(std::uint16_t port, std::array<std::uint8_t, 4> ip, const std::string& host = "") {
  std::string request = {4, 1, static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)};
  for (const auto b : ip) request += static_cast<char>(b);
  request += std::string("user") + '\0';
  if (!host.empty()) request += host + '\0';
  return request;
}

const std::string kGranted = {0, 0x5A};
const std::string kRejected = {0, 0x5B, 0, 0, 0, 0, 0, 0};

class PortMappingTest : public ServerTest {
 protected:
  EchoServer echo_;
};

TEST_F(PortMappingTest, RelaysBothWaysIncludingBytesBehindTheHostLine) {
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kTcpIp, HostLine(echo_.port()) + "hello");
  ASSERT_TRUE(client->WaitForData(5));
  client->SendData(" world");
  ASSERT_TRUE(client->WaitForData(11));
  EXPECT_EQ(client->data, "hello world");
}

TEST_F(PortMappingTest, HostLineMayArriveInPieces) {
  StartServer();
  auto client = Connect();
  const std::string line = HostLine(echo_.port());
  client->Open({}, Protocol::kTcpIp, line.substr(0, 7));
  client->SendData(line.substr(7) + "x");
  ASSERT_TRUE(client->WaitForData(1));
  EXPECT_EQ(client->data, "x");
}

TEST_F(PortMappingTest, MalformedHostLineGetsStatusTextAndClose) {
  StartServer();
  for (const std::string& first : {std::string("Host: 127.0.0.1\r\n\r\n"), std::string("GET / HTTP/1.0\r\n\r\n"),
                                   "Host: " + std::string(2000, 'a')}) {
    auto client = Connect();
    client->Open({}, Protocol::kTcpIp, first);
    ASSERT_TRUE(client->WaitForClose());
    ASSERT_EQ(client->controls.size(), 1u);
    EXPECT_EQ(client->controls[0].kind, ckStatusText);
  }
}

TEST_F(PortMappingTest, UnreachableTargetGetsGatewayError) {
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kTcpIp, HostLine(ClosedPort()));
  ASSERT_TRUE(client->WaitForClose());
  ASSERT_EQ(client->controls.size(), 1u);
  EXPECT_EQ(client->controls[0].kind, ckGatewayError);
  EXPECT_EQ(client->controls[0].text(), "127.0.0.1");
}

TEST_F(PortMappingTest, PrivateTargetIsRefusedWithoutAllowPrivate) {
  config_.allow_private = false;
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kTcpIp, HostLine(echo_.port()) + "hello");
  ASSERT_TRUE(client->WaitForClose());
  ASSERT_EQ(client->controls.size(), 1u);
  EXPECT_EQ(client->controls[0].kind, ckStatusText);
  EXPECT_NE(client->controls[0].text().find("private"), std::string::npos);
  EXPECT_TRUE(client->data.empty());
}

class Socks4Test : public PortMappingTest {};

TEST_F(Socks4Test, ConnectByAddressIsGrantedAndRelayed) {
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kSocks4, SocksConnect(echo_.port(), {127, 0, 0, 1}) + "abc");
  ASSERT_TRUE(client->WaitForData(11));
  EXPECT_EQ(client->data.substr(0, 2), kGranted);
  EXPECT_EQ(client->data.substr(8), "abc");
}

TEST_F(Socks4Test, Socks4aConnectsByHostName) {
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kSocks4, SocksConnect(echo_.port(), {0, 0, 0, 1}, "localhost"));
  ASSERT_TRUE(client->WaitForData(8));
  EXPECT_EQ(client->data.substr(0, 2), kGranted);
  client->SendData("ping");
  ASSERT_TRUE(client->WaitForData(12));
  EXPECT_EQ(client->data.substr(8), "ping");
}

TEST_F(Socks4Test, BindUnreachableAndMalformedRequestsAreRejected) {
  StartServer();
  std::string bind = SocksConnect(echo_.port(), {127, 0, 0, 1});
  bind[1] = 2;
  std::string bad_version = SocksConnect(echo_.port(), {127, 0, 0, 1});
  bad_version[0] = 5;
  for (const std::string& request :
       {bind, SocksConnect(ClosedPort(), {127, 0, 0, 1}), bad_version, SocksConnect(0, {127, 0, 0, 1}),
        SocksConnect(echo_.port(), {0, 0, 0, 1}, "bad host name"), std::string("\x04\x01\x00\x50\x7F\0\0\x01", 8) +
                                                                     std::string(300, 'u')}) {
    auto client = Connect();
    client->Open({}, Protocol::kSocks4, request);
    ASSERT_TRUE(client->WaitForClose());
    EXPECT_EQ(client->data, kRejected);
  }
}

TEST_F(Socks4Test, PrivateTargetIsRejectedWithoutAllowPrivate) {
  config_.allow_private = false;
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kSocks4, SocksConnect(echo_.port(), {127, 0, 0, 1}));
  ASSERT_TRUE(client->WaitForClose());
  EXPECT_EQ(client->data, kRejected);
}

class SmtpTest : public ServerTest {};

TEST_F(SmtpTest, WithoutRelayTheServerAnswers421AndCloses) {
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kSmtp);
  ASSERT_TRUE(client->WaitForClose());
  EXPECT_EQ(client->data.rfind("421 ", 0), 0u);
  EXPECT_EQ(client->data.substr(client->data.size() - 2), "\r\n");
}

TEST_F(SmtpTest, ConversationIsRelayedToTheConfiguredServer) {
  SmtpSink sink;
  config_.smtp_relay = TargetAddress{"127.0.0.1", sink.port()};
  config_.allow_private = false;  // the relay is the operator's choice and stays reachable
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kSmtp);
  const auto expect_reply = [&](const std::string& code) {
    const std::size_t start = client->data.size();
    EXPECT_TRUE(client->ReadUntil([&] { return client->data.find("\r\n", start) != std::string::npos; }));
    EXPECT_EQ(client->data.substr(start, 3), code);
  };
  expect_reply("220");
  for (const char* command : {"HELO korvan.test", "MAIL FROM:<a@korvan.test>", "RCPT TO:<b@korvan.test>"}) {
    client->SendData(std::string(command) + "\r\n");
    expect_reply("250");
  }
  client->SendData("DATA\r\n");
  expect_reply("354");
  client->SendData("Subject: hello\r\n\r\nThe message.\r\n.\r\n");
  expect_reply("250");
  client->SendData("QUIT\r\n");
  expect_reply("221");
  EXPECT_TRUE(client->WaitForClose());
  ASSERT_EQ(sink.messages().size(), 1u);
  EXPECT_EQ(sink.messages()[0], "Subject: hello\r\n\r\nThe message.\r\n");
}

TEST_F(SmtpTest, UnreachableRelayAnswers421) {
  config_.smtp_relay = TargetAddress{"127.0.0.1", ClosedPort()};
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kSmtp);
  ASSERT_TRUE(client->WaitForClose());
  EXPECT_EQ(client->data.rfind("421 ", 0), 0u);
}

}  // namespace
}  // namespace korvan::server::test
