// The whole client (core, event loop, listeners, workers, Korvan.ini and
// korvan.log) over a platform whose system calls misbehave: connections
// refused and reset, reads and writes cut short and interrupted, a full
// disk, a clock that jumps. What must hold: a clear log line, nothing lost,
// other connections unharmed, Korvan.ini never half-written.
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "shell/profile_document.h"
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
using test::Call;
using test::CallSet;
using test::Scope;
using namespace std::chrono_literals;

Bytes Pattern(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(size);
  // Text-like, so that both stages of the codec have something to do.
  for (auto& c : b) c = static_cast<std::uint8_t>("abcdefgh <>/=\"\n"[rng() % 16]);
  return b;
}

class FaultInjectionTest : public ::testing::Test {
 protected:
  FaultInjectionTest() {
    fs::create_directories(app());
    fs::create_directories(config());
    for (const char* file : {"cs.kvl", "en.kvl", "korvan.lvk"}) fs::copy_file(test::BinDir() / file, app() / file);
    words_ = LoadWordList(app() / "korvan.lvk", nullptr);
    server_ = std::make_unique<test::FakeCompressionServer>(words_);
    http_port_ = static_cast<std::uint16_t>(test::FreeLoopbackPort());
    std::ofstream(config() / "Korvan.ini", std::ios::binary)
        << "[Config]\r\nIDSE_Value=100000001\r\nPassEL_Text=demo\r\nLanguage=en.kvl\r\nListConnectErr=1\r\n"
        << "ServerAddress=127.0.0.1\r\nServerPort=" << server_->port() << "\r\n"
        << "[Setup]\r\nSocketCount=1\r\n[Socket1]\r\nLPort=" << http_port_ << "\r\nProtocol=0\r\n";
  }

  fs::path app() const { return dir_.path() / "app"; }
  fs::path config() const { return dir_.path() / "config"; }

  void StartClient() {
    client_ = std::make_unique<test::FaultyClient>(app(), config(), calls_, clock_);
    ASSERT_TRUE(client_->started());
  }

  // A browser connected through the client, and its tunnel at the server.
  struct Route {
    std::unique_ptr<PosixStreamSocket> browser;
    std::shared_ptr<test::FakeTunnelConnection> tunnel;
  };
  Route Connect() {
    Route r;
    r.browser = test::ConnectLoopback(http_port_);
    if (r.browser) r.tunnel = server_->NextConnection();
    return r;
  }

  // `request` through the client and `answer` back; true when the request
  // reached the server whole and the answer the browser whole.
  static bool Exchange(Route& r, const Bytes& request, const Bytes& answer) {
    if (!r.browser || !r.tunnel || !r.browser->Write(request)) return false;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (r.tunnel->ReceivedData().size() < request.size() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(2ms);
    }
    if (r.tunnel->ReceivedData() != request) return false;
    for (std::size_t pos = 0; pos < answer.size(); pos += kMaxRawBlock) {
      const std::size_t n = std::min(kMaxRawBlock, answer.size() - pos);
      r.tunnel->SendData(std::span<const std::uint8_t>(answer.data() + pos, n));
    }
    return ReadAll(*r.browser, answer.size()) == answer;
  }
  bool RoundTrip(const Bytes& request, const Bytes& answer) {
    Route r = Connect();
    return Exchange(r, request, answer);
  }

  static Bytes ReadAll(StreamSocket& socket, std::size_t count) {
    Bytes got;
    std::uint8_t buf[65536];
    socket.SetTimeout(10000);
    while (got.size() < count) {
      const long n = socket.Read(buf, sizeof buf);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

  std::string Memo() {
    std::string memo;
    client_->OnMain([&](ClientCore& core, test::FaultInjectingPlatform&) { memo = core.form().log().memo(); });
    return memo;
  }

  test::TempDir dir_;
  test::FaultInjectingSystemCalls calls_;
  test::JumpingClock clock_;
  WordListPtr words_;
  std::unique_ptr<test::FakeCompressionServer> server_;
  std::uint16_t http_port_ = 0;
  std::unique_ptr<test::FaultyClient> client_;
};

TEST_F(FaultInjectionTest, ShortAndInterruptedTransfersArriveWhole) {
  // Every socket call of the client is interrupted once, and no read or
  // write moves more than 1000 bytes.
  calls_.Interrupt(CallSet::Interruptible(), 2, Scope::Sockets());
  const auto cut = calls_.LimitTransfers(Call::kRecv | Call::kSend, 1000, Scope::Sockets());
  StartClient();
  // Three at once (each tunnel is known before the next browser connects).
  std::vector<Route> routes;
  for (int i = 0; i < 3; ++i) routes.push_back(Connect());
  std::vector<std::thread> browsers;
  std::atomic<int> whole{0};
  for (unsigned i = 0; i < 3; ++i) {
    browsers.emplace_back([&, i] {
      if (Exchange(routes[i], Pattern(120000 + i, i), Pattern(300000 + i, 10 + i))) ++whole;
    });
  }
  for (auto& b : browsers) b.join();
  EXPECT_EQ(whole, 3);
  EXPECT_GT(calls_.Hits(cut), 100U) << "the transfers must really have been cut";
}

TEST_F(FaultInjectionTest, RefusedTunnelsAreRetriedOnceThenLogged) {
  StartClient();
  // One refusal: the retry a second later gets through.
  calls_.Fail(Call::kConnect, ECONNREFUSED, Scope::Sockets(), 1);
  EXPECT_TRUE(RoundTrip(Pattern(100, 1), Pattern(5000, 2)));

  // Both attempts refused: the browser is closed and the log says why.
  const auto refused = calls_.Fail(Call::kConnect, ECONNREFUSED, Scope::Sockets(), 2);
  auto browser = test::ConnectLoopback(http_port_);
  ASSERT_TRUE(browser->Write(Pattern(100, 3)));
  std::uint8_t b;
  browser->SetTimeout(10000);
  EXPECT_EQ(browser->Read(&b, 1), 0);
  EXPECT_EQ(calls_.Hits(refused), 2U);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (Memo().find("Could not connect to the server.") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_NE(Memo().find("Could not connect to the server."), std::string::npos) << Memo();

  // The next connection is unharmed.
  EXPECT_TRUE(RoundTrip(Pattern(200, 4), Pattern(70000, 5)));
}

TEST_F(FaultInjectionTest, AResetEndsItsOwnConnectionOnly) {
  StartClient();
  // An idle connection that waits, with its tunnel open, while another is reset.
  auto idle = test::ConnectLoopback(http_port_);
  const Bytes idle_request = Pattern(300, 6);
  ASSERT_TRUE(idle->Write(idle_request));
  auto idle_tunnel = server_->NextConnection();
  ASSERT_NE(idle_tunnel, nullptr);
  ASSERT_TRUE(idle_tunnel->WaitForFrames(1));

  auto doomed = test::ConnectLoopback(http_port_);
  ASSERT_TRUE(doomed->Write(Pattern(300, 7)));
  auto doomed_tunnel = server_->NextConnection();
  ASSERT_NE(doomed_tunnel, nullptr);
  ASSERT_TRUE(doomed_tunnel->WaitForFrames(1));
  // The next read of any client socket fails as after the peer's reset:
  // the idle worker sleeps in poll, so the doomed one takes it.
  const auto reset = calls_.Fail(Call::kRecv, ECONNRESET, Scope::Sockets(), 1);
  doomed_tunnel->SendData(Pattern(1000, 8));
  std::uint8_t b;
  doomed->SetTimeout(10000);
  EXPECT_LE(doomed->Read(&b, 1), 0) << "the reset connection ends";
  EXPECT_EQ(calls_.Hits(reset), 1U);
  EXPECT_TRUE(doomed_tunnel->WaitForPeerClose());

  // The idle one carries on, byte for byte.
  const Bytes answer = Pattern(200000, 9);
  for (std::size_t pos = 0; pos < answer.size(); pos += kMaxRawBlock) {
    idle_tunnel->SendData(std::span<const std::uint8_t>(answer.data() + pos, std::min(kMaxRawBlock, answer.size() - pos)));
  }
  EXPECT_EQ(ReadAll(*idle, answer.size()), answer);
  int open = -1;
  client_->OnMain([&](ClientCore& core, test::FaultInjectingPlatform&) { open = core.form().open_connections(); });
  EXPECT_EQ(open, 1);
}

TEST_F(FaultInjectionTest, AFullDiskNeverLeavesKorvanIniHalfWritten) {
  StartClient();
  const std::string before = test::ReadFileText(config() / "Korvan.ini");
  ASSERT_NE(before.find("ShutDownOK=0"), std::string::npos) << "the start marks the run as not ended yet";
  // Room for part of the file only: the write fails in the middle.
  const auto disk = calls_.FillDisk(Scope::Under(config()), before.size() / 2);
  bool written = true;
  client_->OnMain([&](ClientCore& core, test::FaultInjectingPlatform&) {
    core.form().communication.AcceptIPEL.text = "127.0.0.1;10.1.1.1";
    core.form().btnSaveClick();
    written = core.form().log().memo().find("No space left on device") != std::string::npos;
  });
  EXPECT_TRUE(written) << "the log says why Korvan.ini was not written: " << Memo();
  EXPECT_GE(calls_.Hits(disk), 1U);
  EXPECT_EQ(test::ReadFileText(config() / "Korvan.ini"), before) << "the old file stays whole";
  for (const auto& entry : fs::directory_iterator(config())) {
    EXPECT_EQ(entry.path().filename(), "Korvan.ini") << "no temporary file is left behind";
  }
  // Connections do not mind.
  EXPECT_TRUE(RoundTrip(Pattern(100, 11), Pattern(10000, 12)));

  // Space again: the end of the run writes everything, the new address too.
  calls_.Remove(disk);
  client_->Stop();
  const ProfileDocument after = ProfileDocument::Parse(test::ReadFileText(config() / "Korvan.ini"));
  EXPECT_EQ(after.Find("Config", "AcceptIP"), "127.0.0.1;10.1.1.1");
  EXPECT_EQ(after.Find("Config", "ShutDownOK"), "1");
}

TEST_F(FaultInjectionTest, AFullDiskForTheLogLosesNoLineAndHarmsNoConnection) {
  StartClient();
  const auto disk = calls_.FillDisk(Scope::Under(app()), 0);
  client_->OnMain([&](ClientCore& core, test::FaultInjectingPlatform&) {
    core.form().WriteToLog("first while full");
    core.form().WriteToLog("second while full");
  });
  EXPECT_TRUE(RoundTrip(Pattern(100, 13), Pattern(100000, 14))) << "connections go on meanwhile";
  std::vector<std::string> told;
  client_->OnMain([&](ClientCore&, test::FaultInjectingPlatform& p) { told = p.prompts.errors; });
  ASSERT_EQ(told.size(), 1U) << "told once";
  EXPECT_NE(told[0].find("No space left on device"), std::string::npos) << told[0];
  EXPECT_EQ(test::ReadFileText(app() / "korvan.log").find("while full"), std::string::npos);

  calls_.Remove(disk);
  client_->OnMain([&](ClientCore& core, test::FaultInjectingPlatform&) { core.form().WriteToLog("space again"); });
  const std::string log = test::ReadFileText(app() / "korvan.log");
  const auto first = log.find("first while full");
  const auto second = log.find("second while full");
  const auto again = log.find("space again");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_LT(first, second);
  EXPECT_LT(second, again);
}

TEST_F(FaultInjectionTest, TheTickWrapsAndTheWallClockJumpsWithoutHarm) {
  // The tick is a second and a half before its wrap when the client starts
  // (as after 49.7 days of uptime), and the wall clock is set back a day.
  clock_.PutTickBeforeWrap(1500);
  clock_.ShiftDays(-1);
  StartClient();
  // A connection quiet across the wrap is not taken for one silent for ten
  // minutes.
  auto quiet = test::ConnectLoopback(http_port_);
  ASSERT_TRUE(quiet->Write(Pattern(10, 19)));
  auto tunnel = server_->NextConnection();
  ASSERT_NE(tunnel, nullptr);
  ASSERT_TRUE(tunnel->WaitForFrames(1));
  std::this_thread::sleep_for(2s);
  ASSERT_LT(clock_.TickCount(), 100000U) << "the tick has wrapped";
  tunnel->SendData(Pattern(1000, 20));
  EXPECT_EQ(ReadAll(*quiet, 1000), Pattern(1000, 20));
  EXPECT_TRUE(RoundTrip(Pattern(5000, 15), Pattern(300000, 16)));

  // The wall clock jumps forward again: the log goes on, in order.
  clock_.ShiftDays(2);
  client_->OnMain([&](ClientCore& core, test::FaultInjectingPlatform&) { core.form().WriteToLog("after the jump"); });
  EXPECT_NE(test::ReadFileText(app() / "korvan.log").find("after the jump"), std::string::npos);
}

TEST_F(FaultInjectionTest, ATickThatJumpsPastTheIdleLimitEndsOnlyIdleConnections) {
  StartClient();
  auto quiet = test::ConnectLoopback(http_port_);
  ASSERT_TRUE(quiet->Write(Pattern(10, 21)));
  auto tunnel = server_->NextConnection();
  ASSERT_NE(tunnel, nullptr);
  ASSERT_TRUE(tunnel->WaitForFrames(1));
  // The worker reports the request only after it has noted when it sent
  // it: once the report is in, the jump cannot fall between the two.
  double sent = 0;
  for (int i = 0; i < 500 && sent == 0; ++i) {
    client_->OnMain([&](ClientCore& core, test::FaultInjectingPlatform&) { sent = core.form().statistics.sent_uncompressed; });
    if (sent == 0) std::this_thread::sleep_for(10ms);
  }
  ASSERT_GT(sent, 0);
  // Eleven minutes pass at once (a machine that slept): both directions
  // have been silent for longer than the idle limit. The worker notices
  // within its longest sleep.
  clock_.ShiftTicks(11 * 60 * 1000);
  std::uint8_t b;
  quiet->SetTimeout(15000);
  EXPECT_EQ(quiet->Read(&b, 1), 0) << "the idle connection ends";
  EXPECT_TRUE(tunnel->WaitForPeerClose());
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  int open = -1;
  while (open != 0 && std::chrono::steady_clock::now() < deadline) {
    client_->OnMain([&](ClientCore& core, test::FaultInjectingPlatform&) { open = core.form().open_connections(); });
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(open, 0);
  EXPECT_TRUE(RoundTrip(Pattern(100, 22), Pattern(1000, 23))) << "new connections are served";
}

}  // namespace
}  // namespace korvan
