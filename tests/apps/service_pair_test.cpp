// The whole service on one machine, as a user runs it: korvan-server with an
// account, korvan --service in front of it, curl as the browser, and an HTTP
// origin on loopback.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <optional>
#include <thread>

#include "tests/server/origins.h"
#include "tests/support/child_process.h"
#include "tests/support/posix_sockets.h"
#include "tests/support/test_paths.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Runs a command; its standard output, or nullopt when it failed.
std::optional<std::string> RunCommand(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  std::array<char, 65536> buffer;
  std::size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), n);
  return ::pclose(pipe) == 0 ? std::optional(out) : std::nullopt;
}

bool WaitForPort(int port) {
  for (int i = 0; i < 500; ++i) {
    if (auto c = test::ConnectLoopback(static_cast<std::uint16_t>(port))) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

class ServicePair : public ::testing::Test {
 protected:
  void SetUp() override {
    // Direct fetches must go direct, whatever the environment names.
    for (const char* v : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
      ::unsetenv(v);
    }
    if (!RunCommand("curl --version >/dev/null 2>&1")) GTEST_SKIP() << "curl is not installed: test skipped";
    root_ = fs::temp_directory_path() / ("korvan-pair-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "app");
    fs::create_directories(root_ / "config");
    for (const char* f : {"cs.kvl", "en.kvl", "korvan.lvk"}) fs::copy_file(test::BinDir() / f, root_ / "app" / f);
    Account("add", "--password demo --credit 100000");

    server_port_ = test::FreeLoopbackPort();
    http_port_ = test::FreeLoopbackPort();
    socks_port_ = test::FreeLoopbackPort();
    server_ = std::make_unique<test::ChildProcess>(
        test::BinDir() / "korvan-server",
        std::vector<std::string>{"--listen", "127.0.0.1:" + std::to_string(server_port_), "--words",
                                 (root_ / "app" / "korvan.lvk").string(), "--accounts", accounts(),
                                 "--allow-private"},
        root_ / "server.txt");
    ASSERT_TRUE(WaitForPort(server_port_)) << server_->Output();
    std::ofstream(root_ / "config" / "Korvan.ini", std::ios::binary)
        << "[Config]\r\nIDSE_Value=100000001\r\nPassEL_Text=demo\r\nServerAddress=127.0.0.1\r\nServerPort="
        << server_port_ << "\r\n[Setup]\r\nSocketCount=2\r\n[Socket1]\r\nLPort=" << http_port_
        << "\r\nProtocol=0\r\n[Socket2]\r\nLPort=" << socks_port_ << "\r\nProtocol=2\r\n";
    client_ = std::make_unique<test::ChildProcess>(
        test::BinDir() / "korvan",
        std::vector<std::string>{"--service", "--config-dir", (root_ / "config").string(), "--app-dir",
                                 (root_ / "app").string()},
        root_ / "client.txt");
    ASSERT_TRUE(WaitForPort(socks_port_)) << client_->Output();
  }

  void TearDown() override {
    if (client_) {
      EXPECT_EQ(client_->Stop(SIGTERM), 0) << client_->Output();
    }
    if (server_) {
      EXPECT_EQ(server_->Stop(SIGTERM), 0) << server_->Output();
    }
    if (!root_.empty()) fs::remove_all(root_);
  }

  std::string accounts() const { return (root_ / "accounts.db").string(); }
  void Account(const std::string& verb, const std::string& options) {
    ASSERT_TRUE(RunCommand((test::BinDir() / "korvan-server").string() + " account " + verb + " --accounts " + accounts() +
                    " --id 100000001 " + options + " >/dev/null"));
  }
  std::string Proxy() const { return "-x http://127.0.0.1:" + std::to_string(http_port_); }
  std::string Curl(const std::string& args) { return RunCommand("curl -s --max-time 20 " + args).value_or("<curl failed>"); }

  server::test::HttpOrigin origin_;
  fs::path root_;
  int server_port_ = 0, http_port_ = 0, socks_port_ = 0;
  std::unique_ptr<test::ChildProcess> server_;
  std::unique_ptr<test::ChildProcess> client_;
};

TEST_F(ServicePair, HttpThroughTheProxyPort) {
  for (const char* path : {"/page.html", "/blob.bin", "/chunked"}) {
    const std::string direct = Curl(origin_.url(path));
    ASSERT_NE(direct, "<curl failed>");
    EXPECT_EQ(Curl(Proxy() + " " + origin_.url(path)), direct) << path;
  }
  EXPECT_EQ(Curl(Proxy() + " --data-binary 'a=1&b=%25' " + origin_.url("/echo")), "a=1&b=%25");
  EXPECT_NE(Curl(Proxy() + " -I " + origin_.url("/page.html")).find("200"), std::string::npos);
  // Two requests on one kept connection.
  const std::string both = Curl(Proxy() + " " + origin_.url("/page.html") + " " + origin_.url("/page.html"));
  EXPECT_EQ(both, Curl(origin_.url("/page.html")) + Curl(origin_.url("/page.html")));
}

TEST_F(ServicePair, ConnectTunnelAndSocks) {
  const std::string direct = Curl(origin_.url("/blob.bin"));
  EXPECT_EQ(Curl("-p " + Proxy() + " " + origin_.url("/blob.bin")), direct);
  const std::string socks = "127.0.0.1:" + std::to_string(socks_port_);
  EXPECT_EQ(Curl("--socks4 " + socks + " " + origin_.url("/blob.bin")), direct);
  EXPECT_EQ(Curl("--socks4a " + socks + " http://localhost:" + std::to_string(origin_.port()) + "/page.html"),
            Curl(origin_.url("/page.html")));
}

TEST_F(ServicePair, GeneratedPagesForLoginCreditAndUnreachableTargets) {
  const std::string unreachable = Curl(Proxy() + " -i http://127.0.0.1:" +
                                       std::to_string(server::test::ClosedPort()) + "/");
  EXPECT_TRUE(unreachable.starts_with("HTTP/1.1 504 OK")) << unreachable;

  Account("set", "--password wrong");
  const std::string login = Curl(Proxy() + " -i " + origin_.url("/page.html"));
  EXPECT_TRUE(login.starts_with("HTTP/1.1 404 OK")) << login;

  Account("set", "--password demo --credit 0");
  const std::string credit = Curl(Proxy() + " -i " + origin_.url("/page.html"));
  EXPECT_TRUE(credit.starts_with("HTTP/1.1 404 OK")) << credit;
  EXPECT_NE(credit.find("100000001"), std::string::npos) << "the page names the demo account";
}

}  // namespace
}  // namespace korvan
