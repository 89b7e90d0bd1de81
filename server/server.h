// korvan-server: accepts tunnel connections and runs a session for each on
// a few event-loop threads, with frames packed on a separate pool.
//
// Start() binds; Run() blocks until Stop() (any thread, also from a signal
// through HandleSignals()). Stopping closes the listening socket and every
// session, settles their traffic and returns.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "server/account_store.h"
#include "server/asio.h"
#include "server/connection_registry.h"
#include "server/server_options.h"
#include "server/session.h"

#include <boost/asio/signal_set.hpp>

namespace korvan::server {

class Server {
 public:
  Server(ServerConfig config, WordListPtr words, std::shared_ptr<AccountStore> store);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Resolves and binds the listening address; throws std::runtime_error.
  void Start();
  tcp::endpoint endpoint() const { return endpoint_; }
  // SIGTERM and SIGINT call Stop().
  void HandleSignals();
  void Run();
  void Stop();

 private:
  Task<void> Accept();

  ServerConfig config_;
  WordListPtr words_;
  std::shared_ptr<AccountStore> store_;
  ConnectionRegistry registry_;
  asio::thread_pool pack_pool_;
  std::optional<ServerShared> shared_;
  // Declared after what sessions use, so that sessions still alive in the
  // loop are destroyed first.
  asio::io_context io_;
  tcp::acceptor acceptor_;
  tcp::endpoint endpoint_;
  std::optional<asio::signal_set> signals_;
  std::atomic<bool> stopping_{false};
  std::mutex sessions_mutex_;
  std::vector<std::weak_ptr<Session>> sessions_;
};

}  // namespace korvan::server
