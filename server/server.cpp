#include "server/server.h"

#include <fcntl.h>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <random>
#include <stdexcept>

#include "server/log.h"

namespace korvan::server {

namespace {

// Store calls wait on a database at times; a few threads keep one slow call
// from holding up the logins behind it.
constexpr unsigned kStoreThreads = 4;
constexpr std::chrono::seconds kFinalFlush{10};

// This process among the servers of one store: host, process and a random
// part, so that a restarted server never takes over a dead one's leases.
std::string ServerInstanceName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) std::snprintf(host, sizeof host, "host");
  std::random_device random;
  char name[320];
  std::snprintf(name, sizeof name, "%s/%d/%08x", host, static_cast<int>(::getpid()), random());
  return name;
}

ChargeQueue::Options ChargeOptions(const ServerConfig& config) {
  ChargeQueue::Options options;
  options.spool = config.charge_spool;
  return options;
}

}  // namespace

Server::Server(ServerConfig config, WordListPtr words, std::shared_ptr<AccountStore> store)
    : config_(std::move(config)),
      words_(std::move(words)),
      store_(std::move(store)),
      pack_pool_(config_.pack_threads),
      charges_(*store_, ChargeOptions(config_)),
      store_pool_(kStoreThreads),
      acceptor_(asio::make_strand(io_)) {
  // Connection counts go through the store when other servers share it.
  if (LeaseStore* leases = store_->leases()) registry_.Share(*leases, ServerInstanceName());
  metrics_.CountChargesWaitingWith([this] { return charges_.Waiting(); });
  charges_.OnWrite([this](std::size_t, const std::string& failure) {
    if (!failure.empty()) metrics_.CountError(ServerError::kStore);
  });
  shared_.emplace(ServerShared{config_, words_, *store_, pack_pool_, registry_, ftp_pool_, login_verifier_,
                               login_backoff_, metrics_, pending_, charges_, store_pool_});
}

Server::~Server() {
  Stop();
  // Sessions settle their traffic as they go; the loop and its sessions must
  // be gone before the store and the pool.
  io_.stop();
  ftp_pool_.Shutdown();
  pack_pool_.join();
  store_pool_.join();
}

void Server::Start() {
  error_code ec;
  tcp::resolver resolver(io_);
  const auto results = resolver.resolve(config_.listen.host, std::to_string(config_.listen.port),
                                        tcp::resolver::passive | tcp::resolver::numeric_service, ec);
  if (ec || results.empty()) {
    throw std::runtime_error("cannot resolve the listen address " + config_.listen.host + ": " + ec.message());
  }
  const tcp::endpoint endpoint = results.begin()->endpoint();
  acceptor_.open(endpoint.protocol(), ec);
  // Not inherited by any program started from this process: a copy there
  // would keep the port listening after a drain closed it.
  if (!ec) ::fcntl(acceptor_.native_handle(), F_SETFD, FD_CLOEXEC);
  if (!ec) acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    throw std::runtime_error("cannot listen on " + endpoint.address().to_string() + ":" +
                             std::to_string(endpoint.port()) + ": " + ec.message());
  }
  endpoint_ = acceptor_.local_endpoint();
  if (config_.admin) {
    admin_.emplace(io_, metrics_);
    admin_->Start(*config_.admin);
  }
  asio::co_spawn(acceptor_.get_executor(), Accept(), asio::detached);
}

std::optional<tcp::endpoint> Server::admin_endpoint() const {
  if (!admin_) return std::nullopt;
  return admin_->endpoint();
}

void Server::HandleSignals() {
  // On the acceptor's strand, like Stop's cancel of it.
  signals_.emplace(acceptor_.get_executor(), SIGINT, SIGTERM);
  WaitForSignal();
}

void Server::WaitForSignal() {
  signals_->async_wait([this](const error_code& ec, int) {
    if (ec) return;
    if (draining_) {
      Log("second signal: stopping now");
      Stop();
      return;
    }
    Drain();
    WaitForSignal();
  });
}

void Server::Run() {
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < config_.io_threads; ++i) threads.emplace_back([this] { io_.run(); });
  io_.run();
  for (auto& t : threads) t.join();
  // The sessions that ended are settled: their charges go to the store
  // before Run returns (what remains is spooled when the server goes).
  if (!charges_.Flush(kFinalFlush)) Log("account store: charges still wait to be written");
}

void Server::Stop() {
  if (stopping_.exchange(true)) return;
  asio::post(acceptor_.get_executor(), [this] {
    error_code ec;
    acceptor_.close(ec);
    if (signals_) signals_->cancel(ec);
    if (admin_) admin_->Stop();
    MutexLock lock(sessions_mutex_);
    for (const auto& weak : sessions_) {
      if (const auto session = weak.lock()) session->Close();
    }
  });
}

void Server::Drain() {
  if (stopping_ || draining_.exchange(true)) return;
  metrics_.SetDraining();
  asio::post(acceptor_.get_executor(), [this] {
    // Closed at once: connection attempts are refused from now on, and the
    // load balancer tries another server.
    error_code ec;
    acceptor_.close(ec);
    asio::co_spawn(acceptor_.get_executor(), WaitForSessions(), asio::detached);
  });
}

Task<void> Server::WaitForSessions() {
  // Sessions count as open until they are destroyed, after their traffic is
  // settled; a short poll spares every session a call back into the server.
  constexpr auto kPoll = std::chrono::milliseconds(50);
  const auto deadline = Clock::now() + config_.drain_timeout;
  Log("draining: " + std::to_string(metrics_.connections_open()) + " sessions open, closing them in " +
      std::to_string(config_.drain_timeout.count()) + " s at the latest");
  asio::steady_timer timer(acceptor_.get_executor());
  while (!stopping_ && metrics_.connections_open() > 0 && Clock::now() < deadline) {
    timer.expires_after(std::min<Clock::duration>(kPoll, deadline - Clock::now()));
    error_code ec;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
  if (stopping_) co_return;  // stopped meanwhile; Stop has closed everything
  const auto left = metrics_.connections_open();
  if (left == 0) {
    Log("drained");
  } else {
    Log("drain time over: " + std::to_string(left) + " sessions closed");
  }
  Stop();
}

Task<void> Server::Accept() {
  while (!stopping_) {
    error_code ec;
    tcp::socket socket = co_await acceptor_.async_accept(asio::make_strand(io_),
                                                         asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
      if (!acceptor_.is_open() || stopping_) break;
      // Out of descriptors and the like: go on accepting.
      Log("accept failed: " + ec.message());
      metrics_.CountError(ServerError::kAccept);
      continue;
    }
    metrics_.ConnectionAccepted();
    MutexLock lock(sessions_mutex_);
    std::erase_if(sessions_, [](const std::weak_ptr<Session>& weak) { return weak.expired(); });
    if (sessions_.size() >= config_.max_connections) {
      metrics_.CountError(ServerError::kRefusedOverCapacity);
      socket.close(ec);  // over the server's limit: no session at all
      continue;
    }
    const auto peer = socket.remote_endpoint(ec);
    if (ec) {
      socket.close(ec);  // already gone
      continue;
    }
    // One address cannot hold the server with openings that never come.
    // Behind a balancer that names the client, the session counts it once
    // it has read the name.
    auto pending = config_.proxy_protocol ? std::nullopt
                                          : pending_.TryClaim(peer.address(), config_.max_pending_per_address);
    if (!config_.proxy_protocol && !pending) {
      metrics_.CountError(ServerError::kRefusedPendingLimit);
      socket.close(ec);
      continue;
    }
    socket.set_option(tcp::no_delay(true), ec);
    auto session = std::make_shared<Session>(std::move(socket), *shared_, std::move(pending));
    sessions_.push_back(session);
    session->Start();
  }
}

}  // namespace korvan::server
