#include "tests/apps/service_pair_fixture.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "tests/support/posix_sockets.h"
#include "tests/support/test_paths.h"

namespace korvan::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

CommandResult RunCommandWithStatus(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 65536> buffer;
  std::size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) result.out.append(buffer.data(), n);
  const int status = ::pclose(pipe);
  result.status = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::optional<std::string> RunCommand(const std::string& command) {
  CommandResult result = RunCommandWithStatus(command);
  if (result.status != 0) return std::nullopt;
  return std::move(result.out);
}

bool WaitForPort(int port) {
  for (int i = 0; i < 500; ++i) {
    if (auto c = ConnectLoopback(static_cast<std::uint16_t>(port))) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

namespace {

bool IsListening(int port) {
  // /proc/net/tcp{,6}: "sl local_address rem_address st ...", the local port
  // in hex after the colon, state 0A for LISTEN.
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      const auto colon = local.rfind(':');
      if (colon == std::string::npos || state != "0A") continue;
      if (std::stoi(local.substr(colon + 1), nullptr, 16) == port) return true;
    }
  }
  return false;
}

}  // namespace

bool WaitForListener(int port) {
  for (int i = 0; i < 500; ++i) {
    if (IsListening(port)) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

fs::path ServicePairFixture::server_program() const { return BinDir() / "korvan-server"; }

void ServicePairFixture::PrepareFolders(bool needs_curl) {
  // Direct fetches must go direct, whatever the environment names.
  for (const char* v : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
    ::unsetenv(v);
  }
  if (needs_curl && !RunCommand("curl --version >/dev/null 2>&1")) {
    GTEST_SKIP() << "curl is not installed: test skipped";
  }
  static int serial = 0;
  root_ = fs::temp_directory_path() /
          ("korvan-pair-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
  fs::remove_all(root_);
  fs::create_directories(root_ / "app");
  fs::create_directories(root_ / "config");
  for (const char* f : {"cs.kvl", "en.kvl", "korvan.lvk"}) fs::copy_file(BinDir() / f, root_ / "app" / f);
  Account("add", "--password " + std::string(kDemoPassword) + " --credit 100000");
}

void ServicePairFixture::StartServer(const std::vector<std::string>& extra_options) {
  server_port_ = FreeLoopbackPort();
  std::vector<std::string> args{"--listen", "127.0.0.1:" + std::to_string(server_port_), "--words",
                                (root_ / "app" / "korvan.lvk").string(), "--accounts", accounts()};
  args.insert(args.end(), extra_options.begin(), extra_options.end());
  server_ = std::make_unique<ChildProcess>(server_program(), args, root_ / "server.txt");
  ASSERT_TRUE(WaitForPort(server_port_)) << server_->Output();
}

void ServicePairFixture::StartClient(std::vector<PortEntry>& ports) {
  std::ofstream ini(root_ / "config" / "Korvan.ini", std::ios::binary);
  ini << "[Config]\r\nIDSE_Value=" << kDemoAccount << "\r\nPassEL_Text=" << kDemoPassword
      << "\r\nServerAddress=127.0.0.1\r\nServerPort=" << server_port_ << "\r\n" << extra_config_ << "[Setup]\r\nSocketCount="
      << ports.size() << "\r\n";
  for (std::size_t i = 0; i < ports.size(); ++i) {
    PortEntry& entry = ports[i];
    entry.local_port = FreeLoopbackPort();
    ini << "[Socket" << i + 1 << "]\r\nLPort=" << entry.local_port
        << "\r\nProtocol=" << static_cast<int>(entry.protocol) << "\r\n";
    if (entry.protocol == Protocol::kTcpIp) {
      ini << "Host=" << entry.host << "\r\nCPort=" << entry.remote_port << "\r\n";
    }
  }
  ini.close();
  client_ = std::make_unique<ChildProcess>(
      BinDir() / "korvan",
      std::vector<std::string>{"--service", "--config-dir", (root_ / "config").string(), "--app-dir",
                               (root_ / "app").string()},
      root_ / "client.txt");
  // Without connecting: a connection to a mapping or SMTP port would open a
  // tunnel and reach the target.
  for (const PortEntry& entry : ports) {
    ASSERT_TRUE(WaitForListener(entry.local_port)) << "port " << entry.local_port << "\n" << client_->Output();
  }
}

void ServicePairFixture::TearDown() {
  if (client_) {
    EXPECT_EQ(client_->Stop(SIGTERM), 0) << client_->Output();
  }
  if (server_) {
    EXPECT_EQ(server_->Stop(SIGTERM), 0) << server_->Output();
  }
  if (!root_.empty()) fs::remove_all(root_);
}

void ServicePairFixture::Account(const std::string& verb, const std::string& options) {
  ASSERT_TRUE(RunCommand(server_program().string() + " account " + verb + " --accounts " + accounts() + " --id " +
                         std::to_string(kDemoAccount) + " " + options + " >/dev/null"));
}

std::string ServicePairFixture::ClientLog() const {
  std::ifstream in(root_ / "app" / "korvan.log", std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace korvan::test
