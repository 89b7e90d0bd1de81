// The tunnel session: who gets in, what a refused client is told, the
// account-info request and the account query, and what traffic costs.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <thread>

#include "tests/server/origins.h"
#include "tests/server/server_fixture.h"
#include "wire/frame_format.h"
#include "wire/frame_writer.h"

namespace korvan::server::test {
namespace {

double DoubleAt(const Bytes& bytes, std::size_t offset) {
  std::uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(bytes[offset + static_cast<std::size_t>(i)]) << (8 * i);
  return std::bit_cast<double>(bits);
}

Date DaysFromToday(int days) { return DateFromUnixDays(DaysSinceUnixEpoch(TodayUtc()) + days); }

class SessionTest : public ServerTest {};

TEST_F(SessionTest, WrongPasswordGetsLoginFailedAndClose) {
  StartServer();
  auto client = Connect();
  client->Open({kDemoId, "not-demo"}, Protocol::kHttp, "GET http://127.0.0.1:1/ HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(client->WaitForClose());
  EXPECT_EQ(client->raw, (Bytes{0x0C, 0x01, ckLoginFailed}));
}

TEST_F(SessionTest, UnknownAccountGetsLoginFailed) {
  StartServer();
  auto client = Connect();
  client->Open({123456789, "demo"}, Protocol::kSocks4);
  ASSERT_TRUE(client->WaitForClose());
  ASSERT_EQ(client->controls.size(), 1u);
  EXPECT_EQ(client->controls[0].kind, ckLoginFailed);
}

TEST_F(SessionTest, OtherWordListVersionGetsStatusTextAndClose) {
  StartServer();
  auto client = Connect();
  client->Open({kDemoId, "demo", 3}, Protocol::kHttp, "GET http://127.0.0.1:1/ HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(client->WaitForClose());
  ASSERT_EQ(client->controls.size(), 1u);
  EXPECT_EQ(client->controls[0].kind, ckStatusText);
  EXPECT_NE(client->controls[0].text().find("version 2"), std::string::npos);
  EXPECT_NE(client->controls[0].text().find("version 3"), std::string::npos);
  EXPECT_TRUE(client->data.empty());
}

TEST_F(SessionTest, ExhaustedCreditGetsNoCredit) {
  AddAccount(100000002, "pw", 0);
  StartServer();
  auto client = Connect();
  client->Open({100000002, "pw"}, Protocol::kHttp, "GET http://127.0.0.1:1/ HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(client->WaitForClose());
  EXPECT_EQ(client->raw, (Bytes{0x0C, 0x01, ckNoCredit}));
}

TEST_F(SessionTest, ExpiredAccountIsToldItsDateAndGetsNoCredit) {
  Account account = AddAccount(100000002, "pw");
  account.valid_until = DaysFromToday(-1);
  store_->Update(account);
  StartServer();
  auto client = Connect();
  client->Open({100000002, "pw"}, Protocol::kSmtp);
  ASSERT_TRUE(client->WaitForClose());
  ASSERT_EQ(client->controls.size(), 2u);
  EXPECT_EQ(client->controls[0].kind, ckStatusText);
  EXPECT_NE(client->controls[0].text().find(FormatDate(*account.valid_until)), std::string::npos);
  EXPECT_EQ(client->controls[1].kind, ckNoCredit);
}

TEST_F(SessionTest, PrepaidAccountIsServedWithoutCreditAndNotCharged) {
  Account account = AddAccount(100000002, "pw", 0);
  account.prepaid_until = DaysFromToday(3);
  store_->Update(account);
  StartServer();
  auto client = Connect();
  client->Open({100000002, "pw"}, Protocol::kSmtp);
  ASSERT_TRUE(client->WaitForClose());
  EXPECT_EQ(client->data.rfind("421 ", 0), 0u);
  StopServer();
  const auto after = store_->Find(100000002);
  EXPECT_EQ(after->credit_kib, 0);
  EXPECT_GT(after->totals.received_wire, 0);
}

TEST_F(SessionTest, TrafficIsCountedBothWaysAndChargedByTunnelBytes) {
  HttpOrigin origin;
  StartServer();
  const std::string request = "GET " + origin.url("/page.html") + " HTTP/1.1\r\nConnection: close\r\n\r\n";
  const Bytes opening = TunnelClient::Opening({}, Protocol::kHttp);
  auto client = Connect();
  client->Open({}, Protocol::kHttp, request);
  ASSERT_TRUE(client->WaitForClose());
  ASSERT_NE(client->data.find("</html>"), std::string::npos);
  StopServer();

  const auto account = store_->Find(kDemoId);
  const Bytes frame = PackFrame(client->words(), ToBytes(request));
  EXPECT_EQ(account->totals.sent_raw, static_cast<std::int64_t>(request.size()));
  EXPECT_EQ(account->totals.sent_wire, static_cast<std::int64_t>(opening.size() + frame.size()));
  EXPECT_EQ(account->totals.received_raw, static_cast<std::int64_t>(client->data.size()));
  EXPECT_EQ(account->totals.received_wire, static_cast<std::int64_t>(client->raw.size()));
  const double wire_kib = static_cast<double>(account->totals.sent_wire + account->totals.received_wire) / 1024.0;
  EXPECT_DOUBLE_EQ(account->credit_kib, 1e6 - wire_kib);
}

TEST_F(SessionTest, TooManyConnectionsOfOneAccountAreRefusedUntilOneCloses) {
  config_.max_account_connections = 2;
  StartServer();
  // The account-info answer shows that a connection was admitted.
  const auto admitted = [this] {
    auto client = Connect();
    client->Open({}, Protocol::kSocks4, {}, true);
    client->WaitForControl();
    return client;
  };
  auto first = admitted();
  auto second = admitted();
  ASSERT_EQ(first->controls.at(0).kind, ckAccountInfo);
  ASSERT_EQ(second->controls.at(0).kind, ckAccountInfo);

  auto third = Connect();
  third->Open({}, Protocol::kSocks4, {}, true);
  ASSERT_TRUE(third->WaitForClose());
  ASSERT_EQ(third->controls.size(), 1u);
  EXPECT_EQ(third->controls[0].kind, ckTooManyConnections);

  first.reset();  // the server frees the slot once it sees the close
  bool again = false;
  for (int attempt = 0; attempt < 100 && !again; ++attempt) {
    auto next = admitted();
    again = !next->controls.empty() && next->controls[0].kind == ckAccountInfo;
    if (!again) std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(again);
}

TEST_F(SessionTest, AccountInfoRequestGetsDatesCreditAndFurtherByte) {
  Account account = AddAccount(100000002, "pw", 1234.5);
  account.prepaid_until = Date{2030, 1, 2};
  account.valid_until = Date{2031, 5, 6};
  account.further_byte = 7;
  store_->Update(account);
  StartServer();
  auto client = Connect();
  client->Open({100000002, "pw"}, Protocol::kSmtp, {}, true);
  ASSERT_TRUE(client->WaitForClose());
  ASSERT_GE(client->controls.size(), 1u);
  const ControlMessage& info = client->controls[0];
  EXPECT_EQ(info.kind, ckAccountInfo);
  ASSERT_EQ(info.rest.size(), 25u);
  EXPECT_EQ(DoubleAt(info.rest, 0), 47485.0);
  EXPECT_EQ(DoubleAt(info.rest, 8), 47974.0);
  EXPECT_EQ(DoubleAt(info.rest, 16), 1234.5);
  EXPECT_EQ(info.rest[24], 7);
  // The service goes on after the answer.
  EXPECT_EQ(client->data.rfind("421 ", 0), 0u);
}

TEST_F(SessionTest, AccountInfoRequestArrivingLaterIsAnsweredToo) {
  EchoServer echo;
  StartServer();
  auto client = Connect();
  Bytes first = TunnelClient::Opening({}, Protocol::kTcpIp);
  client->SendRaw(first);
  client->SendData("Host: 127.0.0.1:" + std::to_string(echo.port()) + "\r\n\r\n");
  client->SendRaw(Bytes(kAccountInfoRequest.begin(), kAccountInfoRequest.end()));
  client->SendData("ping");
  ASSERT_TRUE(client->WaitForData(4));
  ASSERT_TRUE(client->WaitForControl());
  EXPECT_EQ(client->controls[0].kind, ckAccountInfo);
  EXPECT_EQ(client->data, "ping");
}

TEST_F(SessionTest, AccountQueryAnswersWith58BytesOfStatistics) {
  Account account = store_->Find(kDemoId).value();
  account.valid_until = Date{2031, 5, 6};
  account.further_byte = 9;
  store_->Update(account);
  store_->Charge(kDemoId, {1024, 2048, 3072, 4096}, true);
  StartServer();
  auto client = Connect();
  client->decode_frames = false;
  client->SendRaw(TunnelClient::Opening({}, Protocol::kAccountQuery));
  ASSERT_TRUE(client->WaitForClose());
  const Bytes& reply = client->raw;
  ASSERT_EQ(reply.size(), 58u);
  EXPECT_EQ(reply[0], 0);
  EXPECT_EQ(DoubleAt(reply, 1), 1.0);   // sent, raw
  EXPECT_EQ(DoubleAt(reply, 9), 2.0);   // sent, on the tunnel
  EXPECT_EQ(DoubleAt(reply, 17), 3.0);  // received, raw
  EXPECT_EQ(DoubleAt(reply, 25), 4.0);  // received, on the tunnel
  EXPECT_EQ(DoubleAt(reply, 33), 1e6 - 6.0);
  EXPECT_EQ(DoubleAt(reply, 41), 0.0);  // no prepaid date
  EXPECT_EQ(DoubleAt(reply, 49), 47974.0);
  EXPECT_EQ(reply[57], 9);
}

TEST_F(SessionTest, AccountQueryWithWrongPasswordGetsTheThreeByteRefusal) {
  StartServer();
  auto client = Connect();
  client->SendRaw(TunnelClient::Opening({kDemoId, "nope"}, Protocol::kAccountQuery));
  ASSERT_TRUE(client->WaitForClose());
  EXPECT_EQ(client->raw, (Bytes{0x0C, 0x01, 0x67}));
}

TEST_F(SessionTest, UnknownServiceGetsStatusTextAndClose) {
  StartServer();
  auto client = Connect();
  Bytes opening = TunnelClient::Opening({}, Protocol::kHttp);
  opening[14] = 9;
  client->SendRaw(opening);
  ASSERT_TRUE(client->WaitForClose());
  ASSERT_EQ(client->controls.size(), 1u);
  EXPECT_EQ(client->controls[0].kind, ckStatusText);
}

TEST_F(SessionTest, ABrokenFrameEndsOnlyItsOwnConnection) {
  EchoServer echo;
  StartServer();
  auto healthy = Connect();
  healthy->Open({}, Protocol::kTcpIp, "Host: 127.0.0.1:" + std::to_string(echo.port()) + "\r\n\r\none");
  ASSERT_TRUE(healthy->WaitForData(3));

  auto broken = Connect();
  Bytes bytes = TunnelClient::Opening({}, Protocol::kTcpIp);
  const Bytes bad_deflate = {tfDeflate | tfShortLength, 3, 0xFF, 0xFF, 0xFF};
  bytes.insert(bytes.end(), bad_deflate.begin(), bad_deflate.end());
  broken->SendRaw(bytes);
  EXPECT_TRUE(broken->WaitForClose());
  EXPECT_TRUE(broken->data.empty());

  healthy->SendData("two");
  ASSERT_TRUE(healthy->WaitForData(6));
  EXPECT_EQ(healthy->data, "onetwo");
}

TEST_F(SessionTest, AClientLeavingBeforeItsOpeningEndsQuietly) {
  StartServer();
  {
    auto client = Connect();
    client->SendRaw(Bytes{1, 2, 3});
  }
  auto next = Connect();
  next->decode_frames = false;
  next->SendRaw(TunnelClient::Opening({}, Protocol::kAccountQuery));
  ASSERT_TRUE(next->WaitForClose());
  EXPECT_EQ(next->raw.size(), 58u);
}

TEST_F(SessionTest, StoppingTheServerClosesOpenConnectionsAndChargesThem) {
  EchoServer echo;
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kTcpIp, "Host: 127.0.0.1:" + std::to_string(echo.port()) + "\r\n\r\nhello");
  ASSERT_TRUE(client->WaitForData(5));
  StopServer();
  EXPECT_TRUE(client->WaitForClose());
  EXPECT_EQ(store_->Find(kDemoId)->totals.received_raw, 5);
}

}  // namespace
}  // namespace korvan::server::test
