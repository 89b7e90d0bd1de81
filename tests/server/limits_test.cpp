// The server's limits against clients that hold connections or guess
// passwords: pending connections per address, the opening and request-head
// time-outs, the head size limit on every request, and the login backoff.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "server/login_backoff.h"
#include "server/replies.h"
#include "tests/server/http_answers.h"
#include "tests/server/origins.h"
#include "tests/server/server_fixture.h"
#include "wire/frame_format.h"

namespace korvan::server::test {
namespace {

using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;
namespace ip = boost::asio::ip;

// A plain TCP connection from `source`: any 127/8 address is a loopback
// address of its own on Linux, so tests can speak from two peers.
class Peer {
 public:
  Peer(const char* source, std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from), 0) << source;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  }
  ~Peer() { ::close(fd_); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  void Send(const Bytes& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  void CloseSending() { ::shutdown(fd_, SHUT_WR); }
  // Reads until the server closes or `limit` passes; true when it closed.
  bool ReadToClose(Ms limit = Ms(10000)) {
    const auto until = SteadyClock::now() + limit;
    std::uint8_t chunk[4096];
    for (;;) {
      const auto left = std::chrono::duration_cast<Ms>(until - SteadyClock::now()).count();
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(std::max<decltype(left)>(left, 0))) <= 0) return false;
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return true;
      received.insert(received.end(), chunk, chunk + n);
    }
  }
  // Still open: nothing arrived, no close.
  bool StillOpen() { return !ReadToClose(Ms(0)) && received.empty(); }

  Bytes received;

 private:
  int fd_;
};

Bytes Query(std::int32_t id, const std::string& password) {
  return TunnelClient::Opening({id, password}, Protocol::kAccountQuery);
}

// How long the account query of `password` takes from `source` to be answered, and what it got.
struct Timed {
  Ms took;
  Bytes reply;
};
Timed TimedQuery(const char* source, std::uint16_t port, std::int32_t id, const std::string& password) {
  Peer peer(source, port);
  const auto start = SteadyClock::now();
  peer.Send(Query(id, password));
  EXPECT_TRUE(peer.ReadToClose(Ms(20000)));
  return {std::chrono::duration_cast<Ms>(SteadyClock::now() - start), peer.received};
}

// Gives the server time to close what it would close, then looks at each.
void ExpectAllStillOpen(const std::vector<std::unique_ptr<Peer>>& peers) {
  std::this_thread::sleep_for(Ms(300));
  for (const auto& peer : peers) EXPECT_TRUE(peer->StillOpen());
}

const Bytes kQueryRefused(std::begin(kAccountQueryLoginFailed), std::end(kAccountQueryLoginFailed));

class LimitsTest : public ServerTest {};

TEST_F(LimitsTest, PendingConnectionsAreLimitedPerAddressAndGivenBack) {
  StartServer();  // the default limit of 32
  std::vector<std::unique_ptr<Peer>> held;
  for (int i = 0; i < 32; ++i) held.push_back(std::make_unique<Peer>("127.0.0.1", port()));
  Peer over("127.0.0.1", port());
  EXPECT_TRUE(over.ReadToClose(Ms(5000))) << "the 33rd is closed at accept, long before any time-out";
  EXPECT_TRUE(over.received.empty());
  ExpectAllStillOpen(held);

  Peer other("127.0.0.2", port());
  other.Send(Query(kDemoId, "demo"));
  ASSERT_TRUE(other.ReadToClose());
  EXPECT_EQ(other.received.size(), kAccountQueryReplySize);

  // Each way of ending the opening gives the place back: an answered
  // query, a refused login, a client that leaves.
  for (std::size_t i = 0; i < held.size(); ++i) {
    if (i < 3) {
      held[i]->Send(Query(kDemoId, "wrong"));  // few enough not to be slowed
    } else if (i % 2 == 0) {
      held[i]->Send(Query(kDemoId, "demo"));
    } else {
      held[i]->CloseSending();
    }
  }
  for (auto& peer : held) EXPECT_TRUE(peer->ReadToClose(Ms(20000)));
  held.clear();
  for (int i = 0; i < 32; ++i) held.push_back(std::make_unique<Peer>("127.0.0.1", port()));
  ExpectAllStillOpen(held);
  Peer over_again("127.0.0.1", port());
  EXPECT_TRUE(over_again.ReadToClose(Ms(5000)));
}

TEST_F(LimitsTest, AnOpeningThatNeverCompletesIsClosedAfterTheTimeoutAndFreesItsPlace) {
  config_.opening_timeout = std::chrono::seconds(1);
  config_.max_pending_per_address = 1;
  StartServer();
  const auto start = SteadyClock::now();
  Peer slow("127.0.0.1", port());
  slow.Send(Bytes{1, 2, 3, 4, 5});  // a third of an opening
  Peer refused("127.0.0.1", port());
  EXPECT_TRUE(refused.ReadToClose(Ms(900)));
  ASSERT_TRUE(slow.ReadToClose());
  EXPECT_GE(SteadyClock::now() - start, Ms(1000));
  EXPECT_TRUE(slow.received.empty());

  Peer next("127.0.0.1", port());
  next.Send(Query(kDemoId, "demo"));
  ASSERT_TRUE(next.ReadToClose());
  EXPECT_EQ(next.received.size(), kAccountQueryReplySize);
}

class HeadLimitsTest : public LimitsTest {
 protected:
  std::string Get(const std::string& path) { return "GET " + origin_.url(path) + " HTTP/1.1\r\n\r\n"; }
  HttpOrigin origin_;
};

TEST_F(HeadLimitsTest, ADrippingHeadIsCutOffButAQuietKeptConnectionIsNot) {
  config_.opening_timeout = std::chrono::seconds(1);
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kHttp, Get("/page.html"));
  ASSERT_TRUE(client->ReadUntil([&] { return SplitAnswers(client->data).size() == 1; })) << client->Describe();
  // Longer than the head limit between requests: only the idle limit counts here.
  std::this_thread::sleep_for(Ms(1500));
  client->SendData(Get("/page.html"));
  ASSERT_TRUE(client->ReadUntil([&] { return SplitAnswers(client->data).size() == 2; })) << client->Describe();
  client->data.clear();

  const auto start = SteadyClock::now();
  client->SendData("GET " + origin_.url("/page.html") + " HTTP/1.1\r\n");
  for (int i = 0; i < 40 && !client->closed; ++i) {
    client->SendData("X-Drip: " + std::to_string(i) + "\r\n");
    client->ReadUntil([] { return false; }, Ms(100));
  }
  ASSERT_TRUE(client->WaitForClose());
  const auto took = SteadyClock::now() - start;
  EXPECT_GE(took, Ms(1000));
  EXPECT_LT(took, Ms(4000)) << "the drip went on for 4 s and was not cut off";
  EXPECT_EQ(client->data.rfind("HTTP/1.1 408 ", 0), 0u) << client->Describe();
  EXPECT_EQ(origin_.requests().size(), 2u);
}

TEST_F(HeadLimitsTest, TheHeadSizeLimitHoldsForLaterRequestsAndConnect) {
  StartServer();
  const std::string filler = "X-Filler: " + std::string(8000, 'a') + "\r\n";
  std::string big;
  while (big.size() <= 64 * 1024) big += filler;
  {
    auto client = Connect();
    client->Open({}, Protocol::kHttp, Get("/page.html"));
    ASSERT_TRUE(client->ReadUntil([&] { return SplitAnswers(client->data).size() == 1; }));
    const std::size_t before = client->data.size();
    client->SendData("GET " + origin_.url("/page.html") + " HTTP/1.1\r\n" + big + "\r\n");
    ASSERT_TRUE(client->WaitForClose());
    EXPECT_EQ(client->data.substr(before).rfind("HTTP/1.1 431 ", 0), 0u) << client->Describe();
  }
  {
    // Just under the limit the head is read (and refused for its relative URL, not its size).
    auto client = Connect();
    client->Open({}, Protocol::kHttp, "GET /relative HTTP/1.1\r\n");
    client->SendData(big.substr(0, 63 * 1024) + "\r\n\r\n");
    ASSERT_TRUE(client->WaitForClose());
    EXPECT_EQ(client->data.rfind("HTTP/1.1 400 ", 0), 0u) << client->Describe();
  }
  {
    auto client = Connect();
    client->Open({}, Protocol::kHttp, "CONNECT 127.0.0.1:" + std::to_string(origin_.port()) + " HTTP/1.1\r\n");
    client->SendData(big);
    ASSERT_TRUE(client->WaitForClose());
    EXPECT_EQ(client->data.rfind("HTTP/1.1 431 ", 0), 0u) << client->Describe();
    EXPECT_TRUE(client->controls.empty());
  }
  EXPECT_EQ(origin_.requests().size(), 1u);
  EXPECT_EQ(origin_.connections(), 1u);
}

TEST_F(LimitsTest, RepeatedFailedLoginsAreAnsweredLateButOthersAndTheRightPasswordAreNot) {
  constexpr std::int32_t kOther = 100000002;
  AddAccount(kOther, "other");
  StartServer();
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(TimedQuery("127.0.0.1", port(), kDemoId, "guess").reply, kQueryRefused);
  }
  const Timed sixth = TimedQuery("127.0.0.1", port(), kDemoId, "guess");
  EXPECT_EQ(sixth.reply, kQueryRefused);
  EXPECT_GE(sixth.took, Ms(1000));

  // Another account from another address is not slowed.
  const Timed elsewhere = TimedQuery("127.0.0.2", port(), kOther, "guess");
  EXPECT_EQ(elsewhere.reply, kQueryRefused);
  EXPECT_LT(elsewhere.took, Ms(1000));
  // The account is slowed from any address, and the address for any account.
  EXPECT_GE(TimedQuery("127.0.0.3", port(), kDemoId, "guess").took, Ms(1000));
  EXPECT_GE(TimedQuery("127.0.0.1", port(), kOther, "guess").took, Ms(1000));

  // The right password gets in at once, for the slowed account from the slowed address.
  const Timed right = TimedQuery("127.0.0.1", port(), kDemoId, "demo");
  EXPECT_EQ(right.reply.size(), kAccountQueryReplySize);
  EXPECT_LT(right.took, Ms(1000));
  auto client = Connect();
  client->Open({kDemoId, "demo"}, Protocol::kHttp, "GET /relative HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(client->WaitForClose());
  EXPECT_TRUE(client->controls.empty()) << client->Describe();
  EXPECT_EQ(client->data.rfind("HTTP/1.1 400 ", 0), 0u) << client->Describe();
}

TEST_F(LimitsTest, StoppingTheServerEndsBackoffWaits) {
  StartServer();
  // Ten guesses at once: the last ones wait 8 and 10 s.
  std::vector<std::unique_ptr<Peer>> guesses;
  for (int i = 0; i < 10; ++i) {
    guesses.push_back(std::make_unique<Peer>("127.0.0.1", port()));
    guesses.back()->Send(Query(kDemoId, "guess"));
  }
  std::this_thread::sleep_for(Ms(500));
  const auto start = SteadyClock::now();
  StopServer();
  EXPECT_LT(SteadyClock::now() - start, Ms(5000));
  std::size_t answered = 0;
  for (auto& peer : guesses) {
    EXPECT_TRUE(peer->ReadToClose(Ms(1000)));
    if (peer->received == kQueryRefused) ++answered;
  }
  EXPECT_LT(answered, guesses.size()) << "the waits were cut short, their answers not sent";
}

// LoginBackoff alone, on a clock the test moves.
class BackoffTest : public ::testing::Test {
 protected:
  std::chrono::milliseconds Fail(std::int32_t account, const char* address) {
    return backoff_.RecordFailure(account, ip::make_address(address));
  }
  void Advance(std::chrono::seconds s) { now_ += s; }

  LoginBackoff::Clock::time_point now_{};
  LoginBackoff backoff_{[this] { return now_; }};
};

TEST_F(BackoffTest, FiveFailuresAreFreeThenTheDelayDoublesUpToTenSeconds) {
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Fail(7, "10.0.0.1"), Ms(0)) << i;
  EXPECT_EQ(Fail(7, "10.0.0.1"), Ms(1000));
  EXPECT_EQ(Fail(7, "10.0.0.1"), Ms(2000));
  EXPECT_EQ(Fail(7, "10.0.0.1"), Ms(4000));
  EXPECT_EQ(Fail(7, "10.0.0.1"), Ms(8000));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(Fail(7, "10.0.0.1"), Ms(10000)) << i;
}

TEST_F(BackoffTest, AccountsAndAddressesAreCountedApart) {
  // Five accounts from one address, then one account from five addresses.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Fail(100 + i, "10.0.0.1"), Ms(0));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Fail(200, ("10.0.1." + std::to_string(i)).c_str()), Ms(0));
  EXPECT_EQ(Fail(300, "10.0.0.1"), Ms(1000));  // the address is over
  EXPECT_EQ(Fail(200, "10.0.2.1"), Ms(1000));  // the account is over
  EXPECT_EQ(Fail(301, "10.0.2.2"), Ms(0));     // neither
  // An IPv4-mapped IPv6 address is its IPv4 address; a plain IPv6 one is another.
  EXPECT_EQ(Fail(302, "::ffff:10.0.0.1"), Ms(2000));
  EXPECT_EQ(Fail(303, "2001:db8::1"), Ms(0));
}

TEST_F(BackoffTest, TheWindowSlides) {
  for (int i = 0; i < 5; ++i) Fail(7, "10.0.0.1");
  Advance(std::chrono::seconds(599));
  EXPECT_EQ(Fail(7, "10.0.0.1"), Ms(1000));  // six within ten minutes
  Advance(std::chrono::seconds(2));
  EXPECT_EQ(Fail(7, "10.0.0.1"), Ms(0));  // the first five left it; two remain
  for (int i = 0; i < 3; ++i) Fail(7, "10.0.0.1");
  EXPECT_EQ(Fail(7, "10.0.0.1"), Ms(1000));
}

TEST_F(BackoffTest, OldEntriesArePrunedAndTheTablesAreCapped) {
  for (int i = 0; i < 100; ++i) Fail(1000 + i, ("10.1.0." + std::to_string(i)).c_str());
  EXPECT_EQ(backoff_.account_entries(), 100u);
  EXPECT_EQ(backoff_.address_entries(), 100u);
  Advance(std::chrono::seconds(601));
  Fail(1, "10.2.0.1");
  EXPECT_EQ(backoff_.account_entries(), 1u);
  EXPECT_EQ(backoff_.address_entries(), 1u);

  LoginBackoff::Limits limits;
  limits.max_entries = 3;
  limits.free_failures = 1;
  LoginBackoff small([this] { return now_; }, limits);
  const auto fail = [&small](std::int32_t account, int address) {
    return small.RecordFailure(account, ip::make_address_v4(0x0A030000u + static_cast<unsigned>(address)));
  };
  EXPECT_EQ(fail(1, 1), Ms(0));
  for (int account = 2; account <= 4; ++account) fail(account, account);
  EXPECT_EQ(small.account_entries(), 3u);
  EXPECT_EQ(small.address_entries(), 3u);
  EXPECT_EQ(fail(1, 5), Ms(0)) << "account 1 failed longest ago and was dropped";
  EXPECT_EQ(fail(4, 6), Ms(1000)) << "account 4 was kept";
}

}  // namespace
}  // namespace korvan::server::test
