// One tunnel connection: the opening message, the account checks, the
// account-info request, then the service the opening names.
//
// All of a session runs on its own strand. Close() may be called from any
// thread; the rest only from the strand.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "server/account_store.h"
#include "server/asio.h"
#include "server/connection_registry.h"
#include "server/ftp_pool.h"
#include "server/server_options.h"
#include "server/tunnel_io.h"

namespace korvan::server {

// What every session shares; owned by the server, outlives all sessions.
struct ServerShared {
  const ServerConfig& config;
  WordListPtr words;
  AccountStore& store;
  asio::thread_pool& pack_pool;
  ConnectionRegistry& registry;
  FtpPool& ftp_pool;
};

// The idle limit towards the target: the service byte's time-out nibble n
// gives n x 100 seconds (the client shows the same number times 100); 0
// leaves the default of 600 seconds.
inline constexpr std::chrono::seconds kDefaultIdleLimit{600};
std::chrono::seconds IdleLimitFor(std::uint8_t timeout_nibble);

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, ServerShared& shared);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void Start();
  void Close();

 private:
  Task<void> Run();
  Task<void> Serve();
  Task<void> Watch();
  Task<void> Finish();
  Task<void> ServeAccountQuery(const OpeningFields& opening);
  // Checks the account; false (after telling the client) when it may not go on.
  Task<bool> Admit(const OpeningFields& opening);
  Task<void> RunService(const OpeningFields& opening);
  bool StillHasCredit();
  void Settle();
  bool RequestMayProceed();
  void CloseNow();

  tcp::socket socket_;
  ServerShared& shared_;
  std::string name_;
  Traffic traffic_;
  Traffic settled_;
  Activity activity_;
  TunnelReader reader_;
  TunnelWriter writer_;
  asio::steady_timer watch_timer_;
  std::optional<Account> account_;
  std::optional<ConnectionRegistry::Claim> claim_;
  beast::tcp_stream* target_ = nullptr;
  std::function<void()> abort_work_;  // set by the service while work waits off the sockets
  Clock::duration idle_limit_ = kDefaultIdleLimit;
  bool charge_ = true;
  // When the store was last asked, and its answer: between requests that
  // come close together the answer is reused (see RequestMayProceed).
  Clock::time_point last_credit_check_{};
  bool last_credit_verdict_ = true;
  bool closed_ = false;
  bool ended_ = false;
};

}  // namespace korvan::server
