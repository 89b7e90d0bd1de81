// The whole service on one machine, as a user runs it: korvan-server with the
// demo account, korvan --service in front of it, curl as the browser, and
// servers on loopback as the far ends.
//
// A test chooses the server's options and the client's port table; the
// fixture lays out a temporary program folder and configuration folder for
// them, starts both programs and stops them (and removes the folders) in
// TearDown. Tests that use curl skip when it is missing.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/server/origins.h"
#include "tests/support/child_process.h"
#include "wire/opening.h"

namespace korvan::test {

inline constexpr std::int32_t kDemoAccount = 100000001;
inline constexpr const char* kDemoPassword = "demo";

struct CommandResult {
  int status = -1;  // exit status; -1 when the command could not run or was killed
  std::string out;  // its standard output
};
CommandResult RunCommandWithStatus(const std::string& command);
// Standard output of a command, or nullopt when it failed.
std::optional<std::string> RunCommand(const std::string& command);

// Polls until something accepts on 127.0.0.1:port (at most ten seconds).
bool WaitForPort(int port);
// Polls until a socket listens on `port`, without connecting to it (at most
// ten seconds).
bool WaitForListener(int port);

// One row of the client's port table; the local port is chosen by StartClient.
struct PortEntry {
  PortEntry(Protocol kind, std::string target_host = {}, int target_port = 0)
      : protocol(kind), host(std::move(target_host)), remote_port(target_port) {}
  Protocol protocol;
  std::string host;  // target of a TCP/IP mapping
  int remote_port;
  int local_port = 0;
};

class ServicePairFixture : public ::testing::Test {
 protected:
  void TearDown() override;

  // Creates the folders and the demo account; skips without curl when the
  // test needs it.
  void PrepareFolders(bool needs_curl = true);
  // Starts korvan-server on a free port with the given extra options.
  void StartServer(const std::vector<std::string>& extra_options);
  // Writes Korvan.ini with `ports` (filling in their local ports), starts the
  // client and waits until all of them listen.
  void StartClient(std::vector<PortEntry>& ports);

  std::string accounts() const { return (root_ / "accounts.db").string(); }
  std::filesystem::path server_program() const;
  // `korvan-server account VERB` on the demo account.
  void Account(const std::string& verb, const std::string& options);
  std::string Proxy() const { return "-x http://127.0.0.1:" + std::to_string(http_port_); }
  std::string Curl(const std::string& args) {
    return RunCommand("curl -s --max-time 20 " + args).value_or("<curl failed>");
  }
  // The client's log file, korvan.log in its program folder.
  std::string ClientLog() const;

  // More lines for the [Config] section of Korvan.ini ("Key=value\r\n" each),
  // written by StartClient.
  std::string extra_config_;
  server::test::HttpOrigin origin_;
  std::filesystem::path root_;
  int server_port_ = 0, http_port_ = 0, socks_port_ = 0;
  std::unique_ptr<ChildProcess> server_;
  std::unique_ptr<ChildProcess> client_;
};

}  // namespace korvan::test
