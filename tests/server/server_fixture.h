// A korvan-server running in the test's process on 127.0.0.1 with an
// ephemeral port, over a fresh account file with the demo account.
#pragma once

#include <gtest/gtest.h>

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
};

// A fresh folder under the system's temporary folder, removed at the end.
std::filesystem::path MakeTempDir();

}  // namespace korvan::server::test
