// Listening sockets over POSIX. Each listener runs one accept thread; every
// accepted connection goes at once to the ConnectionFactory together with
// the number of the listener's port entry. The listener keeps a weak list of
// its connections so that the shell can close them; the worker that the
// factory starts owns the connection.
//
// Thread rule: the Listener methods belong to the main thread. The
// factory is called on accept threads. AcceptedSocket::Close may be called
// from any thread. `mutex_` guards a listener's list of connections, which
// its accept thread adds to and the main thread reads and prunes.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "platform/fd_io.h"
#include "shell/listener.h"

namespace korvan {

class AcceptedSocket {
 public:
  AcceptedSocket(UniqueFd fd, std::string local_address, std::array<std::uint8_t, 4> client_ip,
                 std::uint16_t client_port)
      : fd_(std::move(fd)),
        local_address_(std::move(local_address)),
        client_ip_(client_ip),
        client_port_(client_port) {}

  int fd() const { return fd_.get(); }
  // Dotted address of the interface the client came in through.
  const std::string& local_address() const { return local_address_; }
  // The client's IPv4 address in network order, and its port.
  const std::array<std::uint8_t, 4>& client_ip() const { return client_ip_; }
  std::uint16_t client_port() const { return client_port_; }

  // Shuts the connection down in both directions: the worker's blocking
  // calls return and it ends. The descriptor closes with the last owner.
  void Close();
  bool closed() const { return closed_.load(); }

 private:
  UniqueFd fd_;
  std::string local_address_;
  std::array<std::uint8_t, 4> client_ip_;
  std::uint16_t client_port_;
  std::atomic<bool> closed_{false};
};

// Where accepted connections go: the tunnel worker's start.
class ConnectionFactory {
 public:
  virtual ~ConnectionFactory() = default;
  virtual void Start(std::shared_ptr<AcceptedSocket> socket, std::size_t entry) = 0;
};

class PosixListener : public Listener {
 public:
  PosixListener(ConnectionFactory& factory, std::string bind_address)
      : factory_(factory), bind_address_(std::move(bind_address)) {}
  ~PosixListener() override;

  void set_port(int port) override { port_ = port; }
  int port() const override { return port_; }
  void set_entry(std::size_t entry) override { entry_.store(entry); }
  bool Activate(std::string* error) override;
  void Deactivate() override KORVAN_EXCLUDES(mutex_);
  bool active() const override { return accept_thread_.joinable(); }
  std::size_t ActiveConnectionCount() override KORVAN_EXCLUDES(mutex_);
  void CloseFirstConnection() override KORVAN_EXCLUDES(mutex_);

 private:
  void AcceptLoop() KORVAN_EXCLUDES(mutex_);
  // Drops closed and finished connections.
  void Prune() KORVAN_REQUIRES(mutex_);

  ConnectionFactory& factory_;
  std::string bind_address_;
  int port_ = 0;
  std::atomic<std::size_t> entry_{0};
  UniqueFd listen_fd_;
  UniqueFd wake_read_;
  UniqueFd wake_write_;
  std::thread accept_thread_;
  Mutex mutex_;
  std::vector<std::weak_ptr<AcceptedSocket>> connections_ KORVAN_GUARDED_BY(mutex_);
};

// Listeners bound to `bind_address`: "0.0.0.0" (every interface) for the
// program; tests use "127.0.0.1".
class PosixListenerFactory : public ListenerFactory {
 public:
  explicit PosixListenerFactory(ConnectionFactory& factory, std::string bind_address = "0.0.0.0")
      : factory_(factory), bind_address_(std::move(bind_address)) {}
  std::unique_ptr<Listener> Create() override {
    return std::make_unique<PosixListener>(factory_, bind_address_);
  }

 private:
  ConnectionFactory& factory_;
  std::string bind_address_;
};

}  // namespace korvan
