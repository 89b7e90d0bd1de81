#include "server/server.h"

#include <csignal>
#include <stdexcept>

#include "server/log.h"

namespace korvan::server {

Server::Server(ServerConfig config, WordListPtr words, std::shared_ptr<AccountStore> store)
    : config_(std::move(config)),
      words_(std::move(words)),
      store_(std::move(store)),
      pack_pool_(config_.pack_threads),
      acceptor_(asio::make_strand(io_)) {
  shared_.emplace(ServerShared{config_, words_, *store_, pack_pool_, registry_, ftp_pool_, login_verifier_,
                               login_backoff_});
}

Server::~Server() {
  Stop();
  // Sessions settle their traffic as they go; the loop and its sessions must
  // be gone before the store and the pool.
  io_.stop();
  ftp_pool_.Shutdown();
  pack_pool_.join();
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
  if (!ec) acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    throw std::runtime_error("cannot listen on " + endpoint.address().to_string() + ":" +
                             std::to_string(endpoint.port()) + ": " + ec.message());
  }
  endpoint_ = acceptor_.local_endpoint();
  asio::co_spawn(acceptor_.get_executor(), Accept(), asio::detached);
}

void Server::HandleSignals() {
  signals_.emplace(io_, SIGINT, SIGTERM);
  signals_->async_wait([this](const error_code& ec, int) {
    if (!ec) Stop();
  });
}

void Server::Run() {
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < config_.io_threads; ++i) threads.emplace_back([this] { io_.run(); });
  io_.run();
  for (auto& t : threads) t.join();
}

void Server::Stop() {
  if (stopping_.exchange(true)) return;
  asio::post(acceptor_.get_executor(), [this] {
    error_code ec;
    acceptor_.close(ec);
    if (signals_) signals_->cancel(ec);
    MutexLock lock(sessions_mutex_);
    for (const auto& weak : sessions_) {
      if (const auto session = weak.lock()) session->Close();
    }
  });
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
      continue;
    }
    MutexLock lock(sessions_mutex_);
    std::erase_if(sessions_, [](const std::weak_ptr<Session>& weak) { return weak.expired(); });
    if (sessions_.size() >= config_.max_connections) {
      socket.close(ec);  // over the server's limit: no session at all
      continue;
    }
    const auto peer = socket.remote_endpoint(ec);
    if (ec) {
      socket.close(ec);  // already gone
      continue;
    }
    // One address cannot hold the server with openings that never come.
    auto pending = pending_.TryClaim(peer.address(), config_.max_pending_per_address);
    if (!pending) {
      socket.close(ec);
      continue;
    }
    socket.set_option(tcp::no_delay(true), ec);
    auto session = std::make_shared<Session>(std::move(socket), *shared_, std::move(*pending));
    sessions_.push_back(session);
    session->Start();
  }
}

}  // namespace korvan::server
