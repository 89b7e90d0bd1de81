// The rest of what the pair offers, with both real programs on loopback:
// TCP/IP port mappings, the SMTP port, the per-account connection limit, the
// account query and the refusal of private targets.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <algorithm>
#include <atomic>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "localisation/text_key.h"
#include "tests/apps/service_pair_fixture.h"
#include "tests/server/origins.h"
#include "tests/support/posix_sockets.h"
#include "wire/opening.h"
#include "wire/word_list.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::PortEntry;

// Generous: the sanitizer build is several times slower than a release one.
constexpr auto kPatience = 30s;

// Polls `done` until it holds or `limit` has passed; the last answer.
bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = kPatience) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (Clock::now() > deadline) return done();
    std::this_thread::sleep_for(20ms);
  }
}

// A plain TCP connection to a loopback port, read with deadlines. Bytes read
// past what one call asks for are kept for the next call.
class Peer {
 public:
  explicit Peer(int port) : socket_(test::ConnectLoopback(static_cast<std::uint16_t>(port))) {}
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool connected() const { return socket_ != nullptr; }
  bool Send(std::string_view bytes) {
    return connected() && server::test::SendAllTo(socket_->fd(), bytes.data(), bytes.size());
  }

  // The next `count` bytes, or fewer when the peer closed or the time is up.
  std::string Read(std::size_t count, std::chrono::milliseconds limit = kPatience) {
    Fill([&] { return buffered_.size() >= count; }, limit);
    return Take(std::min(count, buffered_.size()));
  }
  // The bytes up to and including `end`, or all there are when it never came.
  std::string ReadThrough(std::string_view end, std::chrono::milliseconds limit = kPatience) {
    Fill([&] { return buffered_.find(end) != std::string::npos; }, limit);
    const auto at = buffered_.find(end);
    return Take(at == std::string::npos ? buffered_.size() : at + end.size());
  }
  // True when the peer closes within `limit`; what arrives before goes to `rest`.
  bool WaitForClose(std::string* rest = nullptr, std::chrono::milliseconds limit = kPatience) {
    Fill([] { return false; }, limit);
    const std::string got = Take(buffered_.size());
    if (rest != nullptr) *rest = got;
    return closed_;
  }
  void Close() { socket_.reset(); }

 private:
  void Fill(const std::function<bool()>& enough, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (connected() && !closed_ && !enough()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return;
      pollfd p{socket_->fd(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char chunk[65536];
      const ssize_t n = ::recv(socket_->fd(), chunk, sizeof chunk, 0);
      if (n <= 0) {
        closed_ = true;
        return;
      }
      buffered_.append(chunk, static_cast<std::size_t>(n));
    }
  }
  std::string Take(std::size_t count) {
    std::string front = buffered_.substr(0, count);
    buffered_.erase(0, count);
    return front;
  }

  std::unique_ptr<test::PosixStreamSocket> socket_;
  bool closed_ = false;
  std::string buffered_;
};

// The far end of a port mapping: greets every connection, then echoes. After
// echoing a "bye" line it sends a farewell of a megabyte and closes at once.
// It counts the connections that the other side ended.
class MappingTarget {
 public:
  static constexpr std::string_view kGreeting = "target here\r\n";
  static constexpr std::string_view kBye = "bye\r\n";
  static const std::string& Farewell() {
    static const std::string farewell = server::test::RandomBytes(1 << 20, 11);
    return farewell;
  }

  MappingTarget() : server_([this](int fd) { Serve(fd); }) {}
  std::uint16_t port() const { return server_.port(); }
  std::size_t accepted() const { return server_.accepted(); }
  std::size_t ended_by_peer() const { return ended_by_peer_; }

 private:
  void Serve(int fd) {
    using server::test::SendAllTo;
    if (!SendAllTo(fd, kGreeting.data(), kGreeting.size())) return;
    std::string tail;  // the last bytes seen, to find "bye" across reads
    char chunk[16384];
    for (;;) {
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n == 0) ++ended_by_peer_;
      if (n <= 0 || !SendAllTo(fd, chunk, static_cast<std::size_t>(n))) return;
      tail.append(chunk, static_cast<std::size_t>(n));
      if (tail.size() > kBye.size()) tail.erase(0, tail.size() - kBye.size());
      if (tail == kBye) {
        SendAllTo(fd, Farewell().data(), Farewell().size());
        return;
      }
    }
  }

  std::atomic<std::size_t> ended_by_peer_{0};
  server::test::LoopbackServer server_;
};

class ServicePairMore : public test::ServicePairFixture {
 protected:
  // The server with `server_options`, the client with `ports`.
  void Start(const std::vector<std::string>& server_options, std::vector<PortEntry>& ports, bool needs_curl) {
    PrepareFolders(needs_curl);
    if (IsSkipped() || HasFatalFailure()) return;
    StartServer(server_options);
    if (HasFatalFailure()) return;
    StartClient(ports);
    for (const PortEntry& entry : ports) {
      if (entry.protocol == Protocol::kHttp && http_port_ == 0) http_port_ = entry.local_port;
    }
  }
  bool Stopped() const { return IsSkipped() || HasFatalFailure(); }
  bool ServerSaid(const std::string& text) const {
    return Eventually([&] { return server_->Output().find(text) != std::string::npos; });
  }
  bool ClientLogged(std::string_view text) const {
    return Eventually([&] { return ClientLog().find(text) != std::string::npos; });
  }
};

// ---------------------------------------------------------------------------
// TCP/IP port mapping

TEST_F(ServicePairMore, PortMappingCarriesBytesBothWaysExactly) {
  MappingTarget target;
  std::vector<PortEntry> ports{{Protocol::kTcpIp, "127.0.0.1", target.port()}};
  Start({"--allow-private"}, ports, /*needs_curl=*/false);
  if (Stopped()) return;

  Peer peer(ports[0].local_port);
  ASSERT_TRUE(peer.connected());
  // The target speaks first: the mapping opens without waiting for the
  // client, and the "Host:" line that names the target never reaches it.
  EXPECT_EQ(peer.Read(MappingTarget::kGreeting.size()), MappingTarget::kGreeting);
  ASSERT_TRUE(peer.Send("one line\r\n"));
  EXPECT_EQ(peer.Read(10), "one line\r\n");

  // A megabyte that deflate cannot shrink and one of text that the word
  // list and deflate do, each written while the echo comes back.
  std::string text;
  while (text.size() < (1 << 20)) text += server::test::SampleHtml();
  text.resize(1 << 20);
  for (const std::string& big : {server::test::RandomBytes(1 << 20, 7), text}) {
    std::thread writer([&] { EXPECT_TRUE(peer.Send(big)); });
    const std::string back = peer.Read(big.size(), 120s);
    writer.join();
    ASSERT_EQ(back.size(), big.size());
    EXPECT_TRUE(back == big) << "the echoed megabyte differs from what was sent";
  }
  EXPECT_EQ(target.accepted(), 1u);
}

TEST_F(ServicePairMore, PortMappingEndsBothSidesWhenOneCloses) {
  MappingTarget target;
  std::vector<PortEntry> ports{{Protocol::kTcpIp, "127.0.0.1", target.port()}};
  Start({"--allow-private"}, ports, /*needs_curl=*/false);
  if (Stopped()) return;

  // The local client leaves: the target's connection ends too.
  {
    Peer peer(ports[0].local_port);
    ASSERT_TRUE(peer.connected());
    ASSERT_EQ(peer.Read(MappingTarget::kGreeting.size()), MappingTarget::kGreeting);
    peer.Close();
    EXPECT_TRUE(Eventually([&] { return target.ended_by_peer() == 1; })) << "the target's side stayed open";
  }
  // The target leaves right after a megabyte: the local client gets all of
  // it, then the end.
  Peer peer(ports[0].local_port);
  ASSERT_TRUE(peer.connected());
  ASSERT_EQ(peer.Read(MappingTarget::kGreeting.size()), MappingTarget::kGreeting);
  ASSERT_TRUE(peer.Send(MappingTarget::kBye));
  ASSERT_EQ(peer.Read(MappingTarget::kBye.size()), MappingTarget::kBye);
  std::string rest;
  EXPECT_TRUE(peer.WaitForClose(&rest, 120s)) << "the local connection stayed open";
  EXPECT_EQ(rest.size(), MappingTarget::Farewell().size());
  EXPECT_TRUE(rest == MappingTarget::Farewell()) << "the bytes before the end differ";
  EXPECT_EQ(target.ended_by_peer(), 1u);
}

// ---------------------------------------------------------------------------
// SMTP port

TEST_F(ServicePairMore, SmtpConversationReachesTheRelayUnchanged) {
  server::test::SmtpSink sink;
  std::vector<PortEntry> ports{{Protocol::kSmtp}};
  Start({"--smtp-relay", "127.0.0.1:" + std::to_string(sink.port())}, ports, /*needs_curl=*/false);
  if (Stopped()) return;

  Peer peer(ports[0].local_port);
  ASSERT_TRUE(peer.connected());
  EXPECT_EQ(peer.ReadThrough("\r\n"), "220 sink.test ESMTP ready\r\n");
  const std::vector<std::string> commands{"EHLO client.test", "MAIL FROM:<sender@client.test>",
                                          "RCPT TO:<reader@sink.test>"};
  for (const std::string& command : commands) {
    ASSERT_TRUE(peer.Send(command + "\r\n"));
    EXPECT_EQ(peer.ReadThrough("\r\n"), "250 ok\r\n") << command;
  }
  ASSERT_TRUE(peer.Send("DATA\r\n"));
  EXPECT_EQ(peer.ReadThrough("\r\n"), "354 go ahead\r\n");

  // Long enough to take several frames; a dot-stuffed line stays as sent.
  std::string message = "From: sender@client.test\r\nTo: reader@sink.test\r\nSubject: through the pair\r\n\r\n";
  for (int i = 0; i < 3000; ++i) message += "Line " + std::to_string(i) + " of a message carried by korvan.\r\n";
  message += "..a line that began with a dot\r\n";
  ASSERT_TRUE(peer.Send(message + ".\r\n"));
  EXPECT_EQ(peer.ReadThrough("\r\n"), "250 queued\r\n");
  ASSERT_TRUE(peer.Send("QUIT\r\n"));
  EXPECT_EQ(peer.ReadThrough("\r\n"), "221 bye\r\n");
  std::string rest;
  EXPECT_TRUE(peer.WaitForClose(&rest)) << "the connection stayed open after QUIT";
  EXPECT_EQ(rest, "");

  ASSERT_EQ(sink.messages().size(), 1u);
  EXPECT_TRUE(sink.messages()[0] == message) << "the relayed message differs from what was sent";
  std::vector<std::string> expected = commands;
  expected.insert(expected.end(), {"DATA", "QUIT"});
  EXPECT_EQ(sink.commands(), expected);
}

TEST_F(ServicePairMore, SmtpWithoutARelayGets421AndTheEnd) {
  server::test::SmtpSink sink;  // running, but the server is not told about it
  std::vector<PortEntry> ports{{Protocol::kSmtp}};
  Start({}, ports, /*needs_curl=*/false);
  if (Stopped()) return;

  Peer peer(ports[0].local_port);
  ASSERT_TRUE(peer.connected());
  std::string answer;
  EXPECT_TRUE(peer.WaitForClose(&answer)) << "the connection stayed open";
  EXPECT_EQ(answer, "421 korvan-server Service not available, closing transmission channel\r\n");
  EXPECT_TRUE(sink.commands().empty());
}

// ---------------------------------------------------------------------------
// Per-account connection limit

TEST_F(ServicePairMore, OneConnectionTooManyGetsNothingAndALogLineUntilTheFirstEnds) {
  server::test::EchoServer echo;
  std::vector<PortEntry> ports{{Protocol::kHttp}};
  Start({"--allow-private", "--max-account-connections", "1"}, ports, /*needs_curl=*/true);
  if (Stopped()) return;
  const std::string page = Curl(origin_.url("/page.html"));
  ASSERT_NE(page, "<curl failed>");
  const std::size_t origin_connections = origin_.connections();

  // A CONNECT tunnel holds the account's one connection.
  auto held = std::make_unique<Peer>(http_port_);
  ASSERT_TRUE(held->connected());
  const std::string authority = "127.0.0.1:" + std::to_string(echo.port());
  ASSERT_TRUE(held->Send("CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n"));
  ASSERT_EQ(held->ReadThrough("\r\n\r\n"), "HTTP/1.0 200 Connection established\r\nProxy-agent: KORVAN\r\n\r\n");
  ASSERT_TRUE(held->Send("ping"));
  ASSERT_EQ(held->Read(4), "ping");

  // The client writes nothing for ckTooManyConnections; the server then ends
  // the tunnel, so curl sees an empty reply. The reason goes to the log.
  const test::CommandResult refused =
      test::RunCommandWithStatus("curl -s --max-time 20 " + Proxy() + " " + origin_.url("/page.html"));
  EXPECT_EQ(refused.status, 52) << "curl: 52 is an empty reply";
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(origin_.connections(), origin_connections);
  EXPECT_TRUE(ClientLogged(CzechDefault(TextKey::TooManyConnections))) << ClientLog();
  EXPECT_TRUE(ServerSaid("too many connections"));

  // The held tunnel still works, and once it ends a request goes through.
  ASSERT_TRUE(held->Send("pong"));
  EXPECT_EQ(held->Read(4), "pong");
  held.reset();
  std::string last;
  EXPECT_TRUE(Eventually([&] { return (last = Curl(Proxy() + " " + origin_.url("/page.html"))) == page; }))
      << last.substr(0, 200);
}

// ---------------------------------------------------------------------------
// Account query (service 4), spoken by the test itself

// Days since 1899-12-30, the wire form of a date.
double WireDay(std::chrono::year_month_day day) {
  using namespace std::chrono;
  return static_cast<double>((sys_days(day) - sys_days(1899y / December / 30)).count());
}

double DoubleAt(const std::string& bytes, std::size_t offset) {
  double value = 0;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

// "name: value" lines of `account show`.
std::map<std::string, std::string> ParseShow(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const auto colon = line.find(": ");
    if (colon != std::string::npos) fields[line.substr(0, colon)] = line.substr(colon + 2);
  }
  return fields;
}

class AccountQuery : public ServicePairMore {
 protected:
  // Opens a connection to the server, sends the 15-byte opening with service
  // byte 4, and returns everything until the server closes.
  std::string Query(std::int32_t id, std::string_view password, bool* closed = nullptr) {
    const auto words = LoadWordList(root_ / "app" / "korvan.lvk");
    EXPECT_TRUE(words != nullptr);
    const LoginBlock login = MakeLoginBlock(id, password, words ? words->version() : 0, 0);
    const auto opening = BuildOpening(login, MakePictureCompressionByte(15, 7), 0,
                                      MakeServiceByte(Protocol::kAccountQuery, 0), false);
    EXPECT_EQ(opening.size(), kOpeningSize);
    Peer peer(server_port_);
    EXPECT_TRUE(peer.connected());
    EXPECT_TRUE(peer.Send({reinterpret_cast<const char*>(opening.data()), opening.size()}));
    std::string answer;
    const bool ended = peer.WaitForClose(&answer);
    if (closed != nullptr) *closed = ended;
    return answer;
  }
  std::map<std::string, std::string> Show() {
    return ParseShow(test::RunCommand(server_program().string() + " account show --accounts " + accounts() +
                                      " --id " + std::to_string(test::kDemoAccount))
                         .value_or(""));
  }
};

TEST_F(AccountQuery, AnswersWithTheAccountAsTheStoreHoldsIt) {
  std::vector<PortEntry> ports{{Protocol::kHttp}};
  Start({"--allow-private"}, ports, /*needs_curl=*/true);
  if (Stopped()) return;
  Account("set", "--credit 12345.5 --prepaid-until 2098-02-03 --valid-until 2099-04-05 --further-byte 77");
  // Some traffic, so that the totals are not all zero.
  ASSERT_EQ(Curl(Proxy() + " " + origin_.url("/page.html")), server::test::SampleHtml());

  // The totals settle when the tunnel closes; wait until two queries agree
  // and carry the traffic, with the store read between them.
  std::string answer;
  std::map<std::string, std::string> shown;
  bool closed = false;
  ASSERT_TRUE(Eventually([&] {
    answer = Query(test::kDemoAccount, test::kDemoPassword, &closed);
    shown = Show();
    return answer.size() == 58 && DoubleAt(answer, 17) > 0 && Query(test::kDemoAccount, test::kDemoPassword) == answer;
  })) << "answer of " << answer.size() << " bytes";
  EXPECT_TRUE(closed) << "the server keeps the query's connection open";
  EXPECT_EQ(answer[0], 0);
  ASSERT_EQ(shown.count("received-wire-bytes"), 1u) << "account show printed no totals";

  const auto kib = [&](const char* field) { return std::stod(shown.at(field)) / 1024.0; };
  EXPECT_DOUBLE_EQ(DoubleAt(answer, 1), kib("sent-raw-bytes"));
  EXPECT_DOUBLE_EQ(DoubleAt(answer, 9), kib("sent-wire-bytes"));
  EXPECT_DOUBLE_EQ(DoubleAt(answer, 17), kib("received-raw-bytes"));
  EXPECT_DOUBLE_EQ(DoubleAt(answer, 25), kib("received-wire-bytes"));
  // The page came back whole, so at least its size was received.
  EXPECT_GE(DoubleAt(answer, 17) * 1024, static_cast<double>(server::test::SampleHtml().size()));
  // Prepaid: the traffic was not charged.
  EXPECT_DOUBLE_EQ(DoubleAt(answer, 33), 12345.5);
  EXPECT_EQ(shown.at("credit-kib"), "12345.50");
  using namespace std::chrono;
  EXPECT_DOUBLE_EQ(DoubleAt(answer, 41), WireDay(2098y / February / 3));
  EXPECT_DOUBLE_EQ(DoubleAt(answer, 49), WireDay(2099y / April / 5));
  EXPECT_EQ(static_cast<std::uint8_t>(answer[57]), 77);
}

TEST_F(AccountQuery, WrongPasswordOrNumberGets0C0167AndTheEnd) {
  std::vector<PortEntry> ports{{Protocol::kHttp}};
  Start({}, ports, /*needs_curl=*/false);
  if (Stopped()) return;
  const std::pair<std::int32_t, const char*> wrong[] = {{test::kDemoAccount, "wrong"}, {test::kDemoAccount + 1, "demo"}};
  for (const auto& [id, password] : wrong) {
    bool closed = false;
    EXPECT_EQ(Query(id, password, &closed), std::string("\x0C\x01\x67", 3)) << id << " " << password;
    EXPECT_TRUE(closed) << "the connection stayed open";
  }
  // An account without credit is still told its state.
  Account("set", "--credit 0");
  const std::string answer = Query(test::kDemoAccount, test::kDemoPassword);
  ASSERT_EQ(answer.size(), 58u);
  EXPECT_EQ(answer[0], 0);
  EXPECT_EQ(DoubleAt(answer, 33), 0.0);
}

// ---------------------------------------------------------------------------
// Private targets without --allow-private

TEST_F(ServicePairMore, PrivateTargetsAreRefusedWithoutTouchingThem) {
  MappingTarget target;
  std::vector<PortEntry> ports{{Protocol::kHttp}, {Protocol::kTcpIp, "127.0.0.1", target.port()}};
  Start({}, ports, /*needs_curl=*/true);
  if (Stopped()) return;

  const std::string answer = Curl(Proxy() + " -i " + origin_.url("/page.html"));
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 403 ")) << answer;
  EXPECT_NE(answer.find("\r\n\r\nThe proxy does not connect to 127.0.0.1: it lies in a private network.\n"),
            std::string::npos)
      << answer;
  EXPECT_EQ(answer.find("korvan test page"), std::string::npos);

  // A CONNECT to it gets the same refusal instead of the confirmation.
  {
    Peer peer(http_port_);
    ASSERT_TRUE(peer.connected());
    const std::string authority = "127.0.0.1:" + std::to_string(origin_.port());
    ASSERT_TRUE(peer.Send("CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n"));
    EXPECT_TRUE(peer.ReadThrough("\r\n").starts_with("HTTP/1.1 403 "));
  }
  EXPECT_EQ(origin_.connections(), 0u);
  EXPECT_TRUE(ServerSaid("refused private target 127.0.0.1")) << server_->Output();

  // The mapping is refused with a status text for the log, and closed.
  Peer peer(ports[1].local_port);
  ASSERT_TRUE(peer.connected());
  std::string rest;
  EXPECT_TRUE(peer.WaitForClose(&rest)) << "the mapped connection stayed open";
  EXPECT_EQ(rest, "");
  EXPECT_EQ(target.accepted(), 0u);
  EXPECT_TRUE(ClientLogged("The server does not connect to 127.0.0.1: it lies in a private network.")) << ClientLog();
}

}  // namespace
}  // namespace korvan
