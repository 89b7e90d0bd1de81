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
#include "server/charge_queue.h"
#include "server/asio.h"
#include "server/connection_registry.h"
#include "server/ftp_pool.h"
#include "server/login_backoff.h"
#include "server/login_verifier.h"
#include "server/server_metrics.h"
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
  LoginVerifier& login_verifier;
  LoginBackoff& login_backoff;
  ServerMetrics& metrics;
  PendingRegistry& pending;
  ChargeQueue& charges;
  // For calls to the account store, which may wait on a database: never on
  // an event-loop thread.
  asio::thread_pool& store_pool;
};

// The idle limit towards the target: the service byte's time-out nibble n
// gives n x 100 seconds (the client shows the same number times 100); 0
// leaves the default of 600 seconds.
inline constexpr std::chrono::seconds kDefaultIdleLimit{600};
std::chrono::seconds IdleLimitFor(std::uint8_t timeout_nibble);

class Session : public std::enable_shared_from_this<Session> {
 public:
  // `pending` counts the connection against its address until it is
  // admitted or refused; none when the address comes in the balancer's
  // header, and the session claims it once it has read that.
  Session(tcp::socket socket, ServerShared& shared, std::optional<PendingRegistry::Claim> pending);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void Start();
  void Close();

 private:
  Task<void> Run();
  Task<void> Serve();
  // Takes the client's address from the balancer's header and counts the
  // connection against it; false (after closing) when it may not go on.
  Task<bool> TakeBalancerHeader();
  Task<void> Watch();
  Task<void> Finish();
  Task<void> ServeAccountQuery(const OpeningFields& opening);
  // Checks the account; false (after telling the client) when it may not go on.
  Task<bool> Admit(const OpeningFields& opening);
  // True when the opening's proof opens `account`. A login not verified
  // before is checked on the packing pool: a flood of wrong proofs must not
  // stall the other sessions of this thread.
  Task<bool> ProofOpens(const Account& account, const OpeningFields& opening);
  Task<void> RunService(const OpeningFields& opening);
  bool StillHasCredit();
  // The same from the watch, with the store asked off the event loop.
  Task<bool> StillHasCreditOffLoop();
  // Takes the store's fresh view of the account; false when it may not go on.
  bool JudgeCredit(const std::optional<Account>& account);
  bool KeepGoingWithoutStore(const StoreError& e);
  // Runs `work` (a store call) on the store's threads and resumes here.
  template <typename Work>
  auto OffLoop(Work work) -> Task<decltype(work())>;
  void Settle();
  bool RequestMayProceed();
  void CloseNow();
  // Sends a failed login's answer, late when the account or address is under backoff.
  Task<void> SendLoginFailure(std::int32_t account, std::span<const std::uint8_t> answer);

  tcp::socket socket_;
  ServerShared& shared_;
  std::string name_;
  Traffic traffic_;
  Traffic settled_;
  TrafficMeter meter_;  // the server's metrics see all traffic, charged or not
  Activity activity_;
  TunnelReader reader_;
  TunnelWriter writer_;
  asio::steady_timer watch_timer_;
  std::optional<Account> account_;
  std::optional<ConnectionRegistry::Claim> claim_;
  std::optional<PendingRegistry::Claim> pending_;
  asio::ip::address peer_address_;  // as accepted: the socket may not tell it once the peer is gone
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
  bool account_query_ = false;
};

}  // namespace korvan::server
