// The cap on simultaneous workers (MaxConnections of Korvan.ini), on the
// whole client over real loopback sockets: the core reads the cap, the
// listener accepts, the launcher turns away what is over the cap before any
// worker exists, and the log says how many it refused. Every wait is
// bounded so that a fault fails the test instead of hanging it.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <random>
#include <regex>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "platform/fd_io.h"
#include "tests/platform/temp_dir.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_server.h"
#include "tests/support/fault_injecting_platform.h"
#include "tests/support/posix_sockets.h"
#include "tests/support/test_paths.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using namespace std::chrono_literals;

constexpr int kCap = 3;
// Far below the worker's own time-outs: a connection that a worker held
// would stay open much longer than this.
constexpr int kClosedWithinMs = 5000;

Bytes Pattern(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(size);
  for (auto& c : b) c = static_cast<std::uint8_t>("abcdefgh <>/=\"\n"[rng() % 16]);
  return b;
}

// A plain client socket, to see how the client's side of a refusal looks.
UniqueFd RawConnect(std::uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return UniqueFd();
  return fd;
}

// "closed" (end of stream or reset), "open" (nothing within the bound) or
// "data".
std::string Fate(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, kClosedWithinMs) != 1) return "open";
  std::uint8_t b;
  const ssize_t n = ::recv(fd, &b, 1, 0);
  if (n == 0 || (n < 0 && errno == ECONNRESET)) return "closed";
  return n > 0 ? "data" : "error " + ErrnoText(errno);
}

class WorkerCapTest : public ::testing::Test {
 protected:
  WorkerCapTest() {
    fs::create_directories(app());
    fs::create_directories(config());
    for (const char* file : {"cs.kvl", "en.kvl", "korvan.lvk"}) fs::copy_file(test::BinDir() / file, app() / file);
    server_ = std::make_unique<test::FakeCompressionServer>(LoadWordList(app() / "korvan.lvk", nullptr));
    http_port_ = static_cast<std::uint16_t>(test::FreeLoopbackPort());
    std::ofstream(config() / "Korvan.ini", std::ios::binary)
        << "[Config]\r\nIDSE_Value=100000001\r\nPassEL_Text=demo\r\nLanguage=en.kvl\r\n"
        << "ServerAddress=127.0.0.1\r\nServerPort=" << server_->port() << "\r\nMaxConnections=" << kCap << "\r\n"
        << "[Setup]\r\nSocketCount=1\r\n[Socket1]\r\nLPort=" << http_port_ << "\r\nProtocol=0\r\n";
    client_ = std::make_unique<test::FaultyClient>(app(), config(), calls_, clock_);
  }

  fs::path app() const { return dir_.path() / "app"; }
  fs::path config() const { return dir_.path() / "config"; }

  // A browser served through the client, and its tunnel at the server.
  struct Route {
    std::unique_ptr<PosixStreamSocket> browser;
    std::shared_ptr<test::FakeTunnelConnection> tunnel;
  };
  Route Serve() {
    Route r;
    r.browser = test::ConnectLoopback(http_port_);
    if (r.browser) r.tunnel = server_->NextConnection();
    return r;
  }

  // A request through the client and an answer back, both whole.
  static bool Exchange(Route& r, unsigned seed) {
    const Bytes request = Pattern(500 + seed, seed);
    const Bytes answer = Pattern(20000 + seed, seed + 100);
    if (!r.browser || !r.tunnel) return false;
    // The tunnel's data so far is that of the earlier exchanges.
    const std::size_t before = r.tunnel->ReceivedData().size();
    if (!r.browser->Write(request)) return false;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (r.tunnel->ReceivedData().size() < before + request.size() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(2ms);
    }
    const Bytes received = r.tunnel->ReceivedData();
    if (received.size() != before + request.size() ||
        !std::equal(request.begin(), request.end(), received.begin() + static_cast<std::ptrdiff_t>(before))) {
      return false;
    }
    for (std::size_t pos = 0; pos < answer.size(); pos += kMaxRawBlock) {
      const std::size_t n = std::min(kMaxRawBlock, answer.size() - pos);
      r.tunnel->SendData(std::span<const std::uint8_t>(answer.data() + pos, n));
    }
    Bytes got;
    std::uint8_t buf[65536];
    r.browser->SetTimeout(10000);
    while (got.size() < answer.size()) {
      const long n = r.browser->Read(buf, sizeof buf);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got == answer;
  }

  std::string Memo() {
    std::string memo;
    client_->OnMain([&](ClientCore& core, test::FaultInjectingPlatform&) { memo = core.form().log().memo(); });
    return memo;
  }
  std::size_t LiveWorkers() {
    std::size_t live = 0;
    client_->OnMain([&](ClientCore&, test::FaultInjectingPlatform& p) { live = p.Services().workers.live_workers(); });
    return live;
  }
  // The counts of the refusal lines in the log, in order.
  std::vector<int> RefusalLines() {
    static const std::regex line(
        "Too many connections at once \\(MaxConnections=3\\): ([0-9]+) connections? refused\\.");
    std::vector<int> counts;
    const std::string memo = Memo();
    for (std::sregex_iterator it(memo.begin(), memo.end(), line), end; it != end; ++it) {
      counts.push_back(std::stoi((*it)[1].str()));
    }
    return counts;
  }
  static int Sum(const std::vector<int>& v) {
    int sum = 0;
    for (int n : v) sum += n;
    return sum;
  }
  // Waits until the log has accounted for `refused` refusals.
  std::vector<int> WaitForRefusalLines(int refused) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::vector<int> lines = RefusalLines();
    while (Sum(lines) < refused && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
      lines = RefusalLines();
    }
    return lines;
  }
  bool WaitForLiveWorkers(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (LiveWorkers() != count) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }

  test::TempDir dir_;
  test::FaultInjectingSystemCalls calls_;
  test::JumpingClock clock_;
  std::unique_ptr<test::FakeCompressionServer> server_;
  std::uint16_t http_port_ = 0;
  std::unique_ptr<test::FaultyClient> client_;
};

TEST_F(WorkerCapTest, AConnectionOverTheCapIsClosedAtOnceAndTheOthersCarryOn) {
  ASSERT_TRUE(client_->started());
  std::vector<Route> held;
  for (int i = 0; i < kCap; ++i) {
    held.push_back(Serve());
    ASSERT_NE(held.back().tunnel, nullptr) << "connection " << i << " must get its worker";
  }
  ASSERT_TRUE(WaitForLiveWorkers(kCap));

  // The fourth is accepted by the kernel and closed by the client without
  // a worker: no tunnel is opened for it.
  UniqueFd over = RawConnect(http_port_);
  ASSERT_TRUE(over);
  EXPECT_EQ(Fate(over.get()), "closed");
  EXPECT_EQ(WaitForRefusalLines(1), std::vector<int>{1}) << Memo();
  EXPECT_EQ(server_->AcceptedCount(), static_cast<std::size_t>(kCap));
  EXPECT_EQ(LiveWorkers(), static_cast<std::size_t>(kCap));

  // The three held ones are unharmed.
  for (unsigned i = 0; i < held.size(); ++i) EXPECT_TRUE(Exchange(held[i], i)) << "held connection " << i;

  // One ends: once its worker has, its slot serves the next connection.
  held[0].browser->Close();
  ASSERT_TRUE(held[0].tunnel->WaitForPeerClose());
  ASSERT_TRUE(WaitForLiveWorkers(kCap - 1));
  Route next = Serve();
  ASSERT_NE(next.tunnel, nullptr) << "a new connection is served once a worker has ended";
  EXPECT_TRUE(Exchange(next, 7));
  // And the cap holds again with it.
  UniqueFd again = RawConnect(http_port_);
  ASSERT_TRUE(again);
  EXPECT_EQ(Fate(again.get()), "closed");
  EXPECT_EQ(Sum(WaitForRefusalLines(2)), 2) << Memo();
  EXPECT_EQ(server_->AcceptedCount(), static_cast<std::size_t>(kCap + 1));
  for (unsigned i = 1; i < held.size(); ++i) EXPECT_TRUE(Exchange(held[i], 10 + i)) << "held connection " << i;
}

TEST_F(WorkerCapTest, AFloodOfRefusalsIsLoggedAsCountsAtMostOncePerSecond) {
  ASSERT_TRUE(client_->started());
  std::vector<Route> held;
  for (int i = 0; i < kCap; ++i) {
    held.push_back(Serve());
    ASSERT_NE(held.back().tunnel, nullptr);
  }
  ASSERT_TRUE(WaitForLiveWorkers(kCap));

  constexpr int kFlood = 60;
  const auto began = std::chrono::steady_clock::now();
  for (int i = 0; i < kFlood; ++i) {
    UniqueFd over = RawConnect(http_port_);
    ASSERT_TRUE(over) << "the listener keeps accepting, refusal " << i;
    // Some with a request already on its way (which may meet a reset).
    if (i % 2 == 1) {
      ::send(over.get(), "GET / HTTP/1.0\r\n\r\n", 18, MSG_NOSIGNAL);
    }
    ASSERT_EQ(Fate(over.get()), "closed") << "refusal " << i;
  }
  const std::vector<int> lines = WaitForRefusalLines(kFlood);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - began);
  EXPECT_EQ(Sum(lines), kFlood) << Memo();
  // One line for the first refusal, then at most one per second that passed.
  EXPECT_LE(lines.size(), static_cast<std::size_t>(seconds.count()) + 2) << Memo();
  EXPECT_EQ(server_->AcceptedCount(), static_cast<std::size_t>(kCap));
  for (unsigned i = 0; i < held.size(); ++i) EXPECT_TRUE(Exchange(held[i], 20 + i)) << "held connection " << i;
}

}  // namespace
}  // namespace korvan
