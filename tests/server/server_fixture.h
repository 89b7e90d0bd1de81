// A korvan-server running in the test's process on 127.0.0.1 with an
// ephemeral port, over a fresh account file with the demo account.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

#include "server/server.h"
#include "server/sqlite_account_store.h"
#include "tests/server/tunnel_client.h"

namespace korvan::server::test {

inline constexpr std::int32_t kDemoId = 100000001;

class ServerTest : public ::testing::Test {
 protected:
  ServerTest();
  ~ServerTest() override;

  // Starts the server with `config` as changed by the test so far.
  void StartServer();
  void StopServer();
  Account AddAccount(std::int32_t id, const std::string& password, double credit_kib = 1e6);
  std::uint16_t port() const { return port_; }
  // The admin endpoint's port; set when config_.admin was.
  std::uint16_t admin_port() const { return admin_port_; }
  Server& server() { return *server_; }
  bool RunReturned() const { return run_returned_; }
  std::unique_ptr<TunnelClient> Connect(bool small_receive_buffer = false) {
    return std::make_unique<TunnelClient>(port_, small_receive_buffer);
  }

  std::filesystem::path dir_;
  ServerConfig config_;
  std::shared_ptr<SqliteAccountStore> store_;

 private:
  std::unique_ptr<Server> server_;
  std::thread thread_;
  std::uint16_t port_ = 0;
  std::uint16_t admin_port_ = 0;
  std::atomic<bool> run_returned_{false};
};

// A fresh folder under the system's temporary folder, removed at the end.
std::filesystem::path MakeTempDir();

// Sends `request` as it is to 127.0.0.1:port and returns what comes back
// until the server closes (or 10 s pass). Empty when the connection fails.
std::string HttpExchange(std::uint16_t port, const std::string& request);
// "GET path" with Connection: close.
std::string HttpGet(std::uint16_t port, const std::string& path);
// The status code of an answer, 0 when there is none.
int HttpStatus(const std::string& answer);
// What follows the answer's head.
std::string HttpBody(const std::string& answer);

}  // namespace korvan::server::test
