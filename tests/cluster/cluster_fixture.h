// Two korvan-server programs over one PostgreSQL database, behind HAProxy in
// TCP mode with health checks against their admin endpoints, as an operator
// runs them. The database cluster is made once per test program in a
// temporary folder; each test gets a database of its own with the demo
// account, and its own servers and balancer, stopped in TearDown.
//
// Tests skip with a message when PostgreSQL or HAProxy is not installed.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/postgres_account_store.h"
#include "tests/server/tunnel_client.h"
#include "tests/support/child_process.h"
#include "tests/support/postgres_cluster.h"

namespace korvan::cluster_test {

using server::test::TunnelClient;

inline constexpr std::int32_t kAccount = 100000001;
inline constexpr double kStartCreditKiB = 10.0 * 1024 * 1024;  // 10 GiB

struct ServerProgram {
  std::unique_ptr<test::ChildProcess> process;
  std::uint16_t port = 0;
  std::uint16_t admin = 0;
};

// Bytes the balancer carried between clients and servers.
struct BalancerBytes {
  std::int64_t from_clients = 0;
  std::int64_t to_clients = 0;
};

class ClusterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  // Starts korvan-server number `index` (0 or 1) with the common options
  // and `extra`; waits until it listens.
  void StartServer(std::size_t index, const std::vector<std::string>& extra = {});
  void StartServers(const std::vector<std::string>& extra = {});
  // HAProxy in front of both servers; waits until both pass their check.
  // `name_clients`: it sends each connection's client in a PROXY header.
  void StartBalancer(bool name_clients = false);
  std::uint16_t front() const { return front_; }
  BalancerBytes Balanced();
  // The HAProxy log, for failure messages.
  std::string BalancerLog() const;

  // A metric of server `index` by its series ("korvan_connections_open"); -1
  // when it cannot be read.
  double Metric(std::size_t index, const std::string& series);
  std::string ServerOutput(std::size_t index) const;

  server::Account Stored();
  // Waits until the store's totals of the account reach `sent` and
  // `received` wire bytes (the charge queue writes a little later), for at
  // most `limit`; true when they are exactly those.
  bool WaitForTotals(std::int64_t sent, std::int64_t received, std::chrono::milliseconds limit);

  static std::unique_ptr<test::PostgresCluster> database_;
  static std::string no_database_;
  std::filesystem::path dir_;
  std::string url_;
  std::shared_ptr<server::PostgresAccountStore> store_;
  ServerProgram servers_[2];

 private:
  std::unique_ptr<test::ChildProcess> balancer_;
  std::uint16_t front_ = 0;
  std::string haproxy_;
};

// A sender on loopback: each connection gets `size` bytes of `Body(size)`
// in pieces of `piece` bytes, `pause` apart, then is closed.
class Sender {
 public:
  Sender(std::size_t size, std::size_t piece = 64 * 1024,
         std::chrono::milliseconds pause = std::chrono::milliseconds(0));
  ~Sender();
  std::uint16_t port() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
// Text that packs well mixed with noise that does not, deterministic.
std::string Body(std::size_t size);

// One download through the tunnel: a TCP/IP mapping to the sender. The
// bytes that crossed the tunnel are the client's own count.
struct Download {
  std::unique_ptr<TunnelClient> client;
  bool complete = false;
  std::string problem;
};
Download RunDownload(std::uint16_t front, std::uint16_t sender_port, std::size_t size,
                     std::chrono::milliseconds limit = std::chrono::seconds(60));

}  // namespace korvan::cluster_test
