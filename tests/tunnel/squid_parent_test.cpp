// The connection worker with a real Squid as its parent proxy: Squid answers
// CONNECT with "HTTP/1.1 200 Connection established", with and without Basic
// authorization. The test starts Squid itself on loopback with a throw-away
// configuration and skips when Squid is not installed.
#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "tests/support/child_process.h"
#include "tests/support/test_paths.h"
#include "tests/tunnel/worker_harness.h"
#include "wire/frame_writer.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using namespace std::chrono_literals;

Bytes ToBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Squid in the foreground on two loopback ports: `open_port` lets any local
// client CONNECT anywhere, `auth_port` wants Basic authorization as
// alice / s3cret (checked by a tiny helper script). Stopped in the destructor.
class SquidParent {
 public:
  static constexpr const char* kUser = "alice";
  static constexpr const char* kPassword = "s3cret";

  explicit SquidParent(const fs::path& squid) {
    std::string pattern = (fs::temp_directory_path() / "korvan-squid-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    open_port_ = static_cast<std::uint16_t>(test::FreeLoopbackPort());
    auth_port_ = static_cast<std::uint16_t>(test::FreeLoopbackPort());
    WriteFiles();
    // Run by root, Squid switches to its own user, which must be able to
    // write the logs and read the helper.
    if (::geteuid() == 0) {
      if (const passwd* pw = ::getpwnam(effective_user_.c_str())) {
        for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
          [[maybe_unused]] const int r = ::chown(entry.path().c_str(), pw->pw_uid, pw->pw_gid);
        }
        [[maybe_unused]] const int r = ::chown(dir_.c_str(), pw->pw_uid, pw->pw_gid);
      }
    }
    std::vector<std::string> args{"-N", "-f", (dir_ / "squid.conf").string()};
    fs::path program = squid;
    // A hard bound on Squid's life, should this test process die before it
    // can stop Squid; `timeout` passes our SIGTERM on to Squid.
    if (const auto timeout = test::FindProgram("timeout")) {
      args.insert(args.begin(), {"-s", "KILL", "60", squid.string()});
      program = *timeout;
    }
    process_ = std::make_unique<test::ChildProcess>(program, args, dir_ / "output.txt");
  }

  ~SquidParent() {
    if (process_) process_->Stop(SIGTERM, 5s);
    // Squid itself, should the wrapper have been killed before passing the
    // signal on.
    std::ifstream pid_file(dir_ / "squid.pid");
    if (pid_t pid = 0; pid_file >> pid && pid > 1) ::kill(pid, SIGKILL);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Waits until both ports accept; false (with the reason in `why`) when
  // Squid ended or stayed silent for 10 s.
  bool WaitUntilReady(std::string& why) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      const int status = process_->Wait(0ms);
      if (status != -1) {
        why = "squid exited with " + std::to_string(status) + ":\n" + process_->Output() + ReadText(dir_ / "cache.log");
        return false;
      }
      auto a = test::ConnectLoopback(open_port_);
      auto b = a ? test::ConnectLoopback(auth_port_) : nullptr;
      if (a && b) return true;
      std::this_thread::sleep_for(50ms);
    }
    why = "squid did not accept within 10 s:\n" + process_->Output() + ReadText(dir_ / "cache.log");
    return false;
  }

  std::uint16_t open_port() const { return open_port_; }
  std::uint16_t auth_port() const { return auth_port_; }
  std::string AccessLog() const { return ReadText(dir_ / "access.log"); }

 private:
  void WriteFiles() {
    std::ofstream(dir_ / "auth.sh") << "while read -r user password; do\n"
                                    << "  if [ \"$user\" = " << kUser << " ] && [ \"$password\" = " << kPassword
                                    << " ]; then echo OK; else echo ERR; fi\n"
                                    << "done\n";
    const std::string d = dir_.string();
    std::ofstream conf(dir_ / "squid.conf");
    conf << "http_port 127.0.0.1:" << open_port_ << "\n"
         << "http_port 127.0.0.1:" << auth_port_ << "\n"
         << "visible_hostname korvan-test\n";
    if (::geteuid() == 0) conf << "cache_effective_user " << effective_user_ << "\n";
    // Everything Squid writes stays in the scratch folder; its resolver only
    // ever asks loopback (the tunnel's address is a literal anyway).
    conf << "pid_filename " << d << "/squid.pid\n"
         << "cache_log " << d << "/cache.log\n"
         << "access_log stdio:" << d << "/access.log\n"
         << "cache_store_log none\n"
         << "coredump_dir " << d << "\n"
         << "netdb_filename none\n"
         << "pinger_enable off\n"
         << "dns_nameservers 127.0.0.1\n"
         << "cache deny all\n"
         << "cache_mem 8 MB\n"
         << "shutdown_lifetime 0 seconds\n"
         << "auth_param basic program /bin/sh " << d << "/auth.sh\n"
         << "auth_param basic children 1 startup=1 idle=1\n"
         << "auth_param basic realm korvan-test\n"
         << "acl auth_port localport " << auth_port_ << "\n"
         << "acl authenticated proxy_auth REQUIRED\n"
         << "http_access allow localhost auth_port authenticated\n"
         << "http_access allow localhost !auth_port\n"
         << "http_access deny all\n";
  }

  fs::path dir_;
  std::string effective_user_ = ::getpwnam("proxy") != nullptr ? "proxy" : "nobody";
  std::uint16_t open_port_ = 0;
  std::uint16_t auth_port_ = 0;
  std::unique_ptr<test::ChildProcess> process_;
};

// One Squid for the whole suite: it takes about a second to start.
class SquidParentProxy : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const auto squid = test::FindProgram("squid");
    if (!squid) {
      skip_reason_ = "squid not found on PATH or in /usr/sbin: parent-proxy tests against Squid skipped "
                     "(install the squid package to run them)";
      return;
    }
    squid_ = std::make_unique<SquidParent>(*squid);
    if (!squid_->WaitUntilReady(start_failure_)) squid_.reset();
  }

  static void TearDownTestSuite() { squid_.reset(); }

  void SetUp() override {
    if (!skip_reason_.empty()) GTEST_SKIP() << skip_reason_;
    ASSERT_NE(squid_, nullptr) << start_failure_;
  }

  static inline std::unique_ptr<SquidParent> squid_;
  static inline std::string skip_reason_;
  static inline std::string start_failure_;
};

// A worker on its own thread behind a loopback client, with its tunnel to
// the fake compression server routed through Squid.
class WorkerThroughSquid {
 public:
  WorkerThroughSquid(std::uint16_t parent_port, std::string user, std::string password)
      : words_(std::make_shared<const WordList>(1, std::vector<std::string>{"Content-Type: text/html\r\n", "<html>"})),
        server_(words_) {
    host_.inputs.protocol = Protocol::kSmtp;  // the opening leaves at once
    host_.inputs.server_address = "127.0.0.1";
    host_.inputs.server_port = server_.port();
    host_.inputs.login = MakeLoginBlock(100000001, "demo", words_->version(), 0);
    host_.inputs.use_parent_proxy = true;
    host_.inputs.parent_host = "127.0.0.1";
    host_.inputs.parent_port = parent_port;
    host_.inputs.parent_user = std::move(user);
    host_.inputs.parent_password = std::move(password);
  }

  ~WorkerThroughSquid() {
    if (client_) client_->Close();
    if (thread_.joinable()) thread_.join();
  }

  void Start() {
    client_ = test::ConnectLoopback(listener_.port());
    auto accepted = listener_.Accept();
    ASSERT_NE(accepted, nullptr);
    worker_ = std::make_unique<TProxyThread>(WorkerEnvironment{main_thread_, clock_, network_, host_, *words_},
                                             std::move(accepted), 0);
    thread_ = std::thread([this] { worker_->ClientExecute(); });
  }

  Bytes ClientRead(std::size_t count) {
    Bytes got;
    std::uint8_t buf[65536];
    while (got.size() < count) {
      const long n = client_->Read(buf, sizeof buf);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

  WordListPtr words_;
  test::FakeCompressionServer server_;
  test::RecordingHost host_;
  test::SerialMainThread main_thread_;
  test::RealClock clock_;
  test::PosixNetwork network_;
  test::LoopbackListener listener_;
  std::unique_ptr<test::PosixStreamSocket> client_;
  std::unique_ptr<TProxyThread> worker_;
  std::thread thread_;
};

// Text that the fake server's word list and deflate both have work on.
Bytes SamplePage(std::size_t size, char salt) {
  std::string page;
  for (int i = 0; page.size() < size; ++i) {
    page += "<html><p class=\"row\">line " + std::to_string(i) + " " + salt + "</p>\r\n";
  }
  page.resize(size);
  return ToBytes(page);
}

// Bytes both ways through a worker whose tunnel Squid carries.
void ExpectBytesFlowBothWays(WorkerThroughSquid& run) {
  auto conn = run.server_.NextConnection(5s);
  ASSERT_NE(conn, nullptr) << "no tunnel reached the server through squid";
  ASSERT_TRUE(conn->WaitForReceived(kOpeningSize));
  ASSERT_TRUE(conn->Opening().has_value());
  EXPECT_EQ(conn->Opening()->user_id, 100000001);

  // Down: more than one frame's worth, cut into blocks as the server does.
  const Bytes down = SamplePage(150000, 'd');
  Bytes frames;
  for (std::size_t pos = 0; pos < down.size(); pos += kMaxRawBlock) {
    const std::size_t n = std::min(kMaxRawBlock, down.size() - pos);
    const Bytes f = PackFrame(*run.words_, std::span<const std::uint8_t>(down.data() + pos, n));
    frames.insert(frames.end(), f.begin(), f.end());
  }
  conn->Send(frames);
  EXPECT_EQ(run.ClientRead(down.size()), down);

  // Up: 100000 bytes written at once.
  const Bytes up = SamplePage(100000, 'u');
  ASSERT_TRUE(run.client_->Write(up));
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (conn->ReceivedData().size() < up.size() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(conn->ReceivedData(), up);
}

TEST_F(SquidParentProxy, AnswersConnectWithHttp11) {
  // What the worker has to accept: Squid speaks HTTP/1.1 even to a
  // HTTP/1.0 request.
  test::FakeCompressionServer server(std::make_shared<const WordList>(1, std::vector<std::string>{"<html>"}));
  auto proxy = test::ConnectLoopback(squid_->open_port());
  ASSERT_NE(proxy, nullptr);
  ASSERT_TRUE(proxy->Write(ToBytes(BuildConnectRequest("127.0.0.1", server.port(), ""))));
  std::string answer;
  std::uint8_t buf[1024];
  while (answer.find("\r\n\r\n") == std::string::npos) {
    const long n = proxy->Read(buf, sizeof buf);
    if (n <= 0) break;
    answer.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
  }
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 ")) << answer;
  EXPECT_TRUE(ConnectAnswerOpensTunnel(answer)) << answer;
}

TEST_F(SquidParentProxy, CarriesTheTunnelBothWays) {
  WorkerThroughSquid run(squid_->open_port(), "", "");
  run.Start();
  ExpectBytesFlowBothWays(run);
  EXPECT_TRUE(run.host_.log.empty());
}

TEST_F(SquidParentProxy, CarriesTheTunnelWithBasicAuthorization) {
  WorkerThroughSquid run(squid_->auth_port(), SquidParent::kUser, SquidParent::kPassword);
  run.Start();
  ExpectBytesFlowBothWays(run);
  run.client_->Close();
  if (run.thread_.joinable()) run.thread_.join();
  // Squid logs a tunnel once it has ended, with the user who opened it.
  const std::string needle = "CONNECT 127.0.0.1:" + std::to_string(run.server_.port()) + " " + SquidParent::kUser;
  const auto deadline = std::chrono::steady_clock::now() + 3s;
  while (squid_->AccessLog().find(needle) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_NE(squid_->AccessLog().find(needle), std::string::npos) << squid_->AccessLog();
}

TEST_F(SquidParentProxy, WrongPasswordEndsTheClientAndReachesNoServer) {
  WorkerThroughSquid run(squid_->auth_port(), SquidParent::kUser, "wrong");
  run.Start();
  std::uint8_t b = 0;
  EXPECT_EQ(run.client_->Read(&b, 1), 0) << "the refused tunnel closes the client";
  run.thread_.join();
  EXPECT_EQ(run.server_.AcceptedCount(), 0U);
  // A refusing proxy is reported as the server's failure.
  EXPECT_EQ(run.host_.log, (std::vector<std::string>{"server failed"}));
}

}  // namespace
}  // namespace korvan
