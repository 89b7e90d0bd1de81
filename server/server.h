// korvan-server: accepts tunnel connections and runs a session for each on
// a few event-loop threads, with frames packed on a separate pool.
//
// Start() binds; Run() blocks until Stop() (any thread, also from a signal
// through HandleSignals()). Stopping closes the listening socket and every
// session, settles their traffic and returns.
//
// Drain() (any thread) is the gentle way out: the health check turns 503
// and the listening socket closes at once, so that a load balancer sends
// new connections elsewhere, while open sessions go on. Once the last one
// has ended, or the drain time-out has passed, the server stops as Stop()
// does and Run() returns.
//
// Thread rule: Start, HandleSignals and Run belong to the thread that owns
// the server, Stop and Drain may be called from any thread. `sessions_mutex_` guards
// the list of sessions, which the accept loop and Stop's closing work use;
// both run on the acceptor's strand, so it is never contended; it keeps the
// list safe should either move off that strand.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "server/account_store.h"
#include "server/admin_endpoint.h"
#include "server/asio.h"
#include "server/connection_registry.h"
#include "server/ftp_pool.h"
#include "server/login_backoff.h"
#include "server/server_metrics.h"
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

  // Resolves and binds the listening address, and the admin endpoint's
  // when configured; throws std::runtime_error.
  void Start();
  tcp::endpoint endpoint() const { return endpoint_; }
  // Where the admin endpoint listens; none without one.
  std::optional<tcp::endpoint> admin_endpoint() const;
  // SIGTERM and SIGINT call Drain(); a second one calls Stop().
  void HandleSignals();
  void Run();
  void Stop();
  void Drain();
  const ServerMetrics& metrics() const { return metrics_; }
  // Waits until the traffic settled so far is in the store; false when
  // `limit` passed first (the store is down, say).
  bool FlushCharges(std::chrono::steady_clock::duration limit) { return charges_.Flush(limit); }

 private:
  Task<void> Accept() KORVAN_EXCLUDES(sessions_mutex_);
  Task<void> WaitForSessions();
  void WaitForSignal();

  ServerConfig config_;
  WordListPtr words_;
  std::shared_ptr<AccountStore> store_;
  ConnectionRegistry registry_;
  PendingRegistry pending_;
  LoginBackoff login_backoff_;
  asio::thread_pool pack_pool_;
  // Joined before the loop goes: its threads post to sessions' strands.
  FtpPool ftp_pool_;
  LoginVerifier login_verifier_;
  ServerMetrics metrics_;
  // Sessions settle into it as they end, so it outlives the loop; its
  // destructor writes what is left (or spools it).
  ChargeQueue charges_;
  asio::thread_pool store_pool_;
  std::optional<ServerShared> shared_;
  // Declared after what sessions use, so that sessions still alive in the
  // loop are destroyed first.
  asio::io_context io_;
  tcp::acceptor acceptor_;
  tcp::endpoint endpoint_;
  std::optional<AdminEndpoint> admin_;
  std::optional<asio::signal_set> signals_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> draining_{false};
  Mutex sessions_mutex_;
  std::vector<std::weak_ptr<Session>> sessions_ KORVAN_GUARDED_BY(sessions_mutex_);
};

}  // namespace korvan::server
