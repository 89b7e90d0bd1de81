// The korvan-server program itself: its command line, start, service, and
// drain and stop on SIGTERM.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "tests/server/origins.h"
#include "tests/server/server_fixture.h"
#include "tests/support/test_paths.h"

extern char** environ;

namespace korvan::server::test {
namespace {

// A child process with its standard output and error in one pipe.
struct Child {
  pid_t pid = -1;
  int out = -1;
  std::string output;

  explicit Child(const std::vector<std::string>& args) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const std::string program = (korvan::test::BinDir() / "korvan-server").string();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out = fds[0];
  }
  ~Child() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    ::close(out);
  }
  // Reads output until `text` shows up or the child ends.
  bool ReadUntil(const std::string& text) {
    char chunk[4096];
    while (output.find(text) == std::string::npos) {
      pollfd p{out, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) return false;
      const ssize_t n = ::read(out, chunk, sizeof chunk);
      if (n <= 0) return false;
      output.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
  }
  int Wait() {
    ReadUntil("\x01never");
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

class ProgramTest : public ::testing::Test {
 protected:
  ProgramTest() : dir_(MakeTempDir()) {
    std::ofstream words(dir_ / "words.lvk", std::ios::binary);
    const auto bytes = SerializeWordListFile(*TestWords());
    words.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  ~ProgramTest() override { std::filesystem::remove_all(dir_); }
  std::string path(const char* name) const { return (dir_ / name).string(); }
  std::filesystem::path dir_;
};

TEST_F(ProgramTest, ServesTheAccountQueryAndStopsOnSigterm) {
  Child add({"account", "add", "--accounts", path("a.db"), "--id", "100000001", "--password", "demo"});
  ASSERT_EQ(add.Wait(), 0) << add.output;

  Child server({"--listen", "127.0.0.1:0", "--words", path("words.lvk"), "--accounts", path("a.db")});
  ASSERT_TRUE(server.ReadUntil(")\n")) << server.output;
  const auto at = server.output.find("listening on 127.0.0.1:");
  ASSERT_NE(at, std::string::npos) << server.output;
  const auto port = static_cast<std::uint16_t>(std::stoi(server.output.substr(at + 23)));

  TunnelClient client(port);
  client.decode_frames = false;
  client.SendRaw(TunnelClient::Opening({}, Protocol::kAccountQuery));
  ASSERT_TRUE(client.WaitForClose());
  EXPECT_EQ(client.raw.size(), 58u);

  ::kill(server.pid, SIGTERM);
  EXPECT_EQ(server.Wait(), 0) << server.output;
}

// The port printed after `label` ("listening on 127.0.0.1:", "admin on 127.0.0.1:").
std::uint16_t PortAfter(const std::string& output, const std::string& label) {
  const auto at = output.find(label);
  return at == std::string::npos ? 0 : static_cast<std::uint16_t>(std::stoi(output.substr(at + label.size())));
}

TEST_F(ProgramTest, SigtermDrainsWhileASessionRunsAndASecondOneStopsAtOnce) {
  Child add({"account", "add", "--accounts", path("a.db"), "--id", "100000001", "--password", "demo"});
  ASSERT_EQ(add.Wait(), 0) << add.output;
  EchoServer echo;
  const std::string host = "Host: 127.0.0.1:" + std::to_string(echo.port()) + "\r\n\r\n";
  for (const bool twice : {false, true}) {
    SCOPED_TRACE(twice ? "two signals" : "one signal");
    Child server({"--listen", "127.0.0.1:0", "--words", path("words.lvk"), "--accounts", path("a.db"),
                  "--allow-private", "--admin", "127.0.0.1:0", "--drain-timeout", "60"});
    ASSERT_TRUE(server.ReadUntil(")\n")) << server.output;
    const auto port = PortAfter(server.output, "listening on 127.0.0.1:");
    const auto admin = PortAfter(server.output, "korvan-server: admin on 127.0.0.1:");
    ASSERT_NE(port, 0) << server.output;
    ASSERT_NE(admin, 0) << server.output;
    EXPECT_EQ(HttpBody(HttpGet(admin, "/healthz")), "ok\n");

    auto client = std::make_unique<TunnelClient>(port);
    client->Open({}, Protocol::kTcpIp, host + "one");
    ASSERT_TRUE(client->WaitForData(3)) << client->Describe();
    ::kill(server.pid, SIGTERM);
    ASSERT_TRUE(server.ReadUntil("draining: 1 sessions open, closing them in 60 s at the latest\n")) << server.output;
    EXPECT_EQ(HttpStatus(HttpGet(admin, "/healthz")), 503);
    client->SendData("two");
    ASSERT_TRUE(client->WaitForData(6)) << "the open session stopped";
    if (twice) {
      ::kill(server.pid, SIGTERM);
      EXPECT_EQ(server.Wait(), 0) << server.output;
      EXPECT_NE(server.output.find("second signal: stopping now"), std::string::npos) << server.output;
      EXPECT_TRUE(client->WaitForClose());
    } else {
      client.reset();
      EXPECT_EQ(server.Wait(), 0) << server.output;
      EXPECT_NE(server.output.find("drained\n"), std::string::npos) << server.output;
    }
    EXPECT_NE(server.output.find("stopped\n"), std::string::npos) << server.output;
  }
}

TEST_F(ProgramTest, AdminAndDrainTimeoutOptionsAreChecked) {
  const std::vector<std::string> base = {"--listen", "127.0.0.1:0", "--words", "w", "--accounts", "a"};
  auto with = [&base](std::vector<std::string> more) {
    auto args = base;
    args.insert(args.end(), more.begin(), more.end());
    return ParseServerOptions(args);
  };
  const auto defaults = std::get<ServerConfig>(with({}));
  EXPECT_FALSE(defaults.admin);
  EXPECT_EQ(defaults.drain_timeout, std::chrono::seconds(30));
  const auto set = std::get<ServerConfig>(with({"--admin", "127.0.0.1:0", "--drain-timeout", "0"}));
  ASSERT_TRUE(set.admin);
  EXPECT_EQ(set.admin->port, 0);
  EXPECT_EQ(set.drain_timeout, std::chrono::seconds(0));
  EXPECT_EQ(std::get<ServerConfig>(with({"--drain-timeout", "3600"})).drain_timeout, std::chrono::seconds(3600));

  const std::vector<std::pair<std::string, std::string>> bad = {
      {"--admin", "nowhere"},      {"--admin", "127.0.0.1:99999"}, {"--admin", ""},
      {"--drain-timeout", "-1"},   {"--drain-timeout", "3601"},    {"--drain-timeout", "1.5"},
      {"--drain-timeout", "soon"}, {"--drain-timeout", ""}};
  for (const auto& [name, value] : bad) {
    auto args = base;
    args[3] = path("words.lvk");
    args.push_back(name);
    args.push_back(value);
    Child child(args);
    EXPECT_EQ(child.Wait(), 2) << name << " " << value;
    EXPECT_NE(child.output.find("korvan-server: " + name + " needs "), std::string::npos) << child.output;
  }
  // An address that cannot be bound is a failure to start, not a usage mistake.
  Child add({"account", "add", "--accounts", path("a.db"), "--id", "100000001", "--password", "demo"});
  ASSERT_EQ(add.Wait(), 0) << add.output;
  Child taken({"--listen", "127.0.0.1:0", "--words", path("words.lvk"), "--accounts", path("a.db"), "--admin",
               "192.0.2.1:80"});
  EXPECT_EQ(taken.Wait(), 1);
  EXPECT_NE(taken.output.find("admin"), std::string::npos) << taken.output;
}

TEST_F(ProgramTest, BadCommandLinesExitWithTwoAndSayWhy) {
  Child none({});
  EXPECT_EQ(none.Wait(), 2);
  EXPECT_NE(none.output.find("usage:"), std::string::npos);
  Child missing({"--listen", "127.0.0.1:0", "--words", path("words.lvk")});
  EXPECT_EQ(missing.Wait(), 2);
  EXPECT_NE(missing.output.find("--accounts FILE is required"), std::string::npos);
  Child account({"account", "add", "--accounts", path("a.db"), "--id", "1"});
  EXPECT_EQ(account.Wait(), 2);
}

TEST_F(ProgramTest, TheLimitOptionsTakePositiveWholeNumbers) {
  const std::vector<std::string> base = {"--listen", "127.0.0.1:0", "--words", "w", "--accounts", "a"};
  const auto parse = [&base](const std::string& name, const std::string& value) {
    auto args = base;
    args.push_back(name);
    args.push_back(value);
    return ParseServerOptions(args);
  };
  const auto defaults = std::get<ServerConfig>(ParseServerOptions(base));
  EXPECT_EQ(defaults.max_pending_per_address, 32u);
  EXPECT_EQ(defaults.opening_timeout, std::chrono::seconds(30));
  EXPECT_EQ(std::get<ServerConfig>(parse("--max-pending-per-address", "5")).max_pending_per_address, 5u);
  EXPECT_EQ(std::get<ServerConfig>(parse("--opening-timeout", "7")).opening_timeout, std::chrono::seconds(7));

  for (const std::string name : {"--max-pending-per-address", "--opening-timeout"}) {
    for (const std::string bad : {"0", "-3", "1.5", "ten", "", "99999999"}) {
      auto args = base;
      args[3] = path("words.lvk");
      args.push_back(name);
      args.push_back(bad);
      Child child(args);
      EXPECT_EQ(child.Wait(), 2) << name << " " << bad;
      EXPECT_NE(child.output.find(name + " needs a number"), std::string::npos) << child.output;
    }
  }
}

TEST_F(ProgramTest, MissingFilesExitWithOneAndNameTheFile) {
  Child words({"--listen", "127.0.0.1:0", "--words", path("none.lvk"), "--accounts", path("a.db")});
  EXPECT_EQ(words.Wait(), 1);
  EXPECT_NE(words.output.find("none.lvk"), std::string::npos);
  Child accounts({"--listen", "127.0.0.1:0", "--words", path("words.lvk"), "--accounts", path("none.db")});
  EXPECT_EQ(accounts.Wait(), 1);
  EXPECT_NE(accounts.output.find("none.db"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(path("none.db")));
}

}  // namespace
}  // namespace korvan::server::test
