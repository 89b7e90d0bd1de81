// The account query of a started client core against the fake compression
// server on loopback, directly and through a real Squid: the replies the
// server may give, a server that is not there, the button while a query
// runs, and a core stopped in the middle of one.
#include "shell/account_query.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "platform/event_loop.h"
#include "platform/posix_stream_socket.h"
#include "platform/system_clock.h"
#include "shell/client_core.h"
#include "tests/platform/temp_dir.h"
#include "tests/shell/fake_platform.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_server.h"
#include "tests/support/posix_sockets.h"
#include "tests/support/test_paths.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using namespace std::chrono_literals;

StatisticsBlock ServerTotals() {
  StatisticsBlock b;
  b.sent_uncompressed = 2048;
  b.sent_compressed = 1024;
  b.received_uncompressed = 81920;
  b.received_compressed = 20480;
  b.credit = 512000;
  b.prepaid_until = 46100.5;
  b.account_valid_until = 46400;
  b.further = 3;
  return b;
}

Bytes GoodReply(const StatisticsBlock& block) {
  Bytes reply{0};
  const auto body = SerializeStatistics(block);
  reply.insert(reply.end(), body.begin(), body.end());
  return reply;
}

Bytes ToBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

// A started core on the real loop, clock and sockets; the rest in memory.
class AccountQueryTest : public ::testing::Test {
 protected:
  AccountQueryTest()
      : words_(std::make_shared<const WordList>(1, std::vector<std::string>{"<html>"})), server_(words_) {
    for (const char* file : {"cs.kvl", "en.kvl", "korvan.lvk"}) fs::copy_file(test::BinDir() / file, app_.path() / file);
    fake_.profile.bytes = "[Config]\r\nLanguage=en.kvl\r\n";
    core_ = std::make_unique<ClientCore>(
        PlatformServices{loop_, clock_, fake_.listeners, fake_.workers, fake_.profile, fake_.log_files, fake_.proxy,
                         fake_.autostart, fake_.prompts, fake_.prompts, fake_.processes, network_, LocaleFormat{}, "en", 7},
        CoreOptions{app_.path(), false, {}, {}});
    EXPECT_TRUE(core_->Start());
    WorkingSettings& w = form().working;
    w.server_address = "127.0.0.1";
    w.server_port = server_.port();
    w.login_block = MakeLoginBlock(100000001, "demo", words_->version(), 7);
  }
  ~AccountQueryTest() override {
    core_.reset();
    loop_.RunPending();
  }

  KorvanForm& form() { return core_->form(); }
  const std::vector<std::string>& errors() const { return fake_.prompts.errors; }
  std::string Text(TextKey key) const { return std::string(core_->texts().Text(key)); }

  // Runs the loop's hand-overs until the button is enabled again.
  bool WaitForAnswer(std::chrono::milliseconds limit = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!form().UpdateInfo.enabled) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      loop_.RunPending();
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }

  // Clicks, lets the server answer with `reply` cut into `pieces`, and
  // waits for the answer to be applied.
  void QueryWith(const Bytes& reply, const std::vector<std::size_t>& pieces = {}, bool close = false) {
    core_->UpdateInfoClick();
    auto connection = server_.NextConnection();
    ASSERT_NE(connection, nullptr) << "the query did not connect";
    ASSERT_TRUE(connection->WaitForReceived(kOpeningSize));
    connection->Send(reply, pieces, 300ms);
    if (close) connection->Close();
    ASSERT_TRUE(WaitForAnswer());
    received_ = connection->Received();
  }

  test::TempDir app_;
  EventLoop loop_;
  SystemClock clock_;
  PosixNetwork network_;
  test::FakePlatform fake_;
  WordListPtr words_;
  test::FakeCompressionServer server_;
  std::unique_ptr<ClientCore> core_;
  Bytes received_;
};

TEST_F(AccountQueryTest, AGoodReplyReplacesTheStatisticsAndIsCharted) {
  form().statistics.sent_uncompressed = 7;  // a worker's count, overwritten
  form().Timer1Timer();                     // the chart's current second starts now
  QueryWith(GoodReply(ServerTotals()));
  EXPECT_TRUE(errors().empty()) << errors().front();
  EXPECT_EQ(form().statistics, ServerTotals());
  EXPECT_EQ(form().statistics_texts.PrijatoEL, "80.00 MB");
  EXPECT_EQ(form().statistics_texts.credit_value, "500.00 MB");

  // The request: the opening message with the account service byte, alone.
  ASSERT_EQ(received_.size(), kOpeningSize);
  EXPECT_EQ(received_[14], 4);
  EXPECT_TRUE(std::equal(received_.begin(), received_.begin() + kLoginBlockSize, form().working.login_block.begin()));

  std::uint64_t sent = 0, received = 0, decompressed = 0;
  for (const auto& b : form().chart.buckets()) {
    sent += b.sent_uncompressed + b.sent_compressed;
    received += b.received_compressed;
    decompressed += b.received_decompressed;
  }
  EXPECT_EQ(sent, 2 * kOpeningSize);
  EXPECT_EQ(received, kAccountReplySize);
  EXPECT_EQ(decompressed, kAccountReplySize);
}

// A slow link delivers the reply in pieces; all of it is judged.
TEST_F(AccountQueryTest, AReplyInPiecesStillCounts) {
  QueryWith(GoodReply(ServerTotals()), {1, 20});
  EXPECT_TRUE(errors().empty()) << errors().front();
  EXPECT_EQ(form().statistics, ServerTotals());
}

TEST_F(AccountQueryTest, ErrorRepliesAreShownAndChangeNothing) {
  form().statistics.credit = 99;
  const StatisticsBlock before = form().statistics;

  QueryWith({0x0C, 0x01, 0x67});
  ASSERT_EQ(errors().size(), 1u);
  EXPECT_EQ(errors().back(), Text(TextKey::InvalidUserOrPwd));

  QueryWith(ToBytes("\x01" "Account locked by the operator"), {}, /*close=*/true);
  ASSERT_EQ(errors().size(), 2u);
  EXPECT_EQ(errors().back(), "Account locked by the operator");

  // 58 bytes, but not a success: the 57 bytes behind the first are the text.
  Bytes odd = GoodReply(ServerTotals());
  odd[0] = 2;
  QueryWith(odd);
  ASSERT_EQ(errors().size(), 3u);
  EXPECT_EQ(errors().back(), std::string(odd.begin() + 1, odd.end()));

  // An error reply with no text at all reads as no connection.
  QueryWith({0x05}, {}, /*close=*/true);
  ASSERT_EQ(errors().size(), 4u);
  EXPECT_EQ(errors().back(), Text(TextKey::ServerConnectionErr));

  EXPECT_EQ(form().statistics, before);
}

TEST_F(AccountQueryTest, NoServerShowsTheConnectionError) {
  form().working.server_port = test::FreeLoopbackPort();
  core_->UpdateInfoClick();
  ASSERT_TRUE(WaitForAnswer());
  ASSERT_EQ(errors().size(), 1u);
  EXPECT_EQ(errors().back(), Text(TextKey::ServerConnectionErr));
}

TEST_F(AccountQueryTest, TheButtonIsDisabledWhileAQueryRuns) {
  std::vector<bool> announced;
  const Subscription watch =
      form().changes.Subscribe(ModelChange::kStatistics, [&] { announced.push_back(form().UpdateInfo.enabled); });
  core_->UpdateInfoClick();
  EXPECT_FALSE(form().UpdateInfo.enabled);
  ASSERT_EQ(announced, std::vector<bool>{false});
  auto connection = server_.NextConnection();
  ASSERT_NE(connection, nullptr);
  ASSERT_TRUE(connection->WaitForReceived(kOpeningSize));

  // The main thread runs on meanwhile; a second click starts nothing.
  for (int i = 0; i < 20; ++i) {
    loop_.RunPending();
    std::this_thread::sleep_for(5ms);
  }
  core_->UpdateInfoClick();
  EXPECT_FALSE(form().UpdateInfo.enabled);
  EXPECT_EQ(server_.NextConnection(200ms), nullptr);

  connection->Send(GoodReply(ServerTotals()));
  ASSERT_TRUE(WaitForAnswer());
  ASSERT_FALSE(announced.empty());
  EXPECT_TRUE(announced.back()) << "enabling the button is announced";
  EXPECT_EQ(server_.AcceptedCount(), 1u);
}

TEST_F(AccountQueryTest, StoppingTheCoreDuringAQueryDropsItsAnswer) {
  core_->UpdateInfoClick();
  auto connection = server_.NextConnection();
  ASSERT_NE(connection, nullptr);
  ASSERT_TRUE(connection->WaitForReceived(kOpeningSize));
  const auto start = std::chrono::steady_clock::now();
  core_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "the stop waited for the query's time-out";
  connection->Send(GoodReply(ServerTotals()));
  core_.reset();  // the form is gone; an answer posted now must not touch it
  for (int i = 0; i < 20; ++i) {
    loop_.RunPending();
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_TRUE(errors().empty());
}

// --- through a real Squid as the parent proxy ---

// Squid in the foreground on one loopback port that lets local clients
// CONNECT anywhere. Stopped in the destructor.
class Squid {
 public:
  explicit Squid(const fs::path& squid) {
    std::string pattern = (fs::temp_directory_path() / "korvan-squid-account-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    port_ = static_cast<std::uint16_t>(test::FreeLoopbackPort());
    const std::string user = ::getpwnam("proxy") != nullptr ? "proxy" : "nobody";
    const std::string d = dir_.string();
    {
      std::ofstream conf(dir_ / "squid.conf");
      conf << "http_port 127.0.0.1:" << port_ << "\nvisible_hostname korvan-test\n";
      if (::geteuid() == 0) conf << "cache_effective_user " << user << "\n";
      conf << "pid_filename " << d << "/squid.pid\ncache_log " << d << "/cache.log\n"
           << "access_log none\ncache_store_log none\ncoredump_dir " << d << "\n"
           << "netdb_filename none\npinger_enable off\ndns_nameservers 127.0.0.1\n"
           << "cache deny all\ncache_mem 8 MB\nshutdown_lifetime 0 seconds\n"
           << "http_access allow localhost\nhttp_access deny all\n";
    }
    if (::geteuid() == 0) {
      if (const passwd* pw = ::getpwnam(user.c_str())) {
        for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
          [[maybe_unused]] const int r = ::chown(entry.path().c_str(), pw->pw_uid, pw->pw_gid);
        }
        [[maybe_unused]] const int r = ::chown(dir_.c_str(), pw->pw_uid, pw->pw_gid);
      }
    }
    std::vector<std::string> args{"-N", "-f", (dir_ / "squid.conf").string()};
    fs::path program = squid;
    // A hard bound on Squid's life, should this process die first.
    if (const auto timeout = test::FindProgram("timeout")) {
      args.insert(args.begin(), {"-s", "KILL", "60", squid.string()});
      program = *timeout;
    }
    process_ = std::make_unique<test::ChildProcess>(program, args, dir_ / "output.txt");
  }
  ~Squid() {
    if (process_) process_->Stop(SIGTERM, 5s);
    std::ifstream pid_file(dir_ / "squid.pid");
    if (pid_t pid = 0; pid_file >> pid && pid > 1) ::kill(pid, SIGKILL);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  bool WaitUntilReady(std::string& why) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (const int status = process_->Wait(0ms); status != -1) {
        why = "squid exited with " + std::to_string(status) + ":\n" + process_->Output();
        return false;
      }
      if (test::ConnectLoopback(port_)) return true;
      std::this_thread::sleep_for(50ms);
    }
    why = "squid did not accept within 10 s:\n" + process_->Output();
    return false;
  }
  std::uint16_t port() const { return port_; }

 private:
  fs::path dir_;
  std::uint16_t port_ = 0;
  std::unique_ptr<test::ChildProcess> process_;
};

TEST_F(AccountQueryTest, ThroughSquidAsParentProxy) {
  const auto squid_program = test::FindProgram("squid");
  if (!squid_program) GTEST_SKIP() << "squid not found on PATH or in /usr/sbin: install the squid package to run this";
  Squid squid(*squid_program);
  std::string why;
  ASSERT_TRUE(squid.WaitUntilReady(why)) << why;

  // Squid answers the CONNECT with HTTP/1.1 200; that opens the tunnel.
  WorkingSettings& w = form().working;
  w.use_parent_proxy = true;
  w.parent_proxy_address = "127.0.0.1";
  w.parent_proxy_port = squid.port();
  QueryWith(GoodReply(ServerTotals()), {10});
  EXPECT_TRUE(errors().empty()) << errors().front();
  EXPECT_EQ(form().statistics, ServerTotals());
  ASSERT_EQ(received_.size(), kOpeningSize) << "only the request reaches the server";
  EXPECT_EQ(received_[14], 4);
}

// A parent proxy that is not there is a connection error like a missing
// server.
TEST_F(AccountQueryTest, AMissingParentProxyShowsTheConnectionError) {
  WorkingSettings& w = form().working;
  w.use_parent_proxy = true;
  w.parent_proxy_address = "127.0.0.1";
  w.parent_proxy_port = test::FreeLoopbackPort();
  core_->UpdateInfoClick();
  ASSERT_TRUE(WaitForAnswer());
  ASSERT_EQ(errors().size(), 1u);
  EXPECT_EQ(errors().back(), Text(TextKey::ServerConnectionErr));
  EXPECT_EQ(server_.AcceptedCount(), 0u);
}

}  // namespace
}  // namespace korvan
