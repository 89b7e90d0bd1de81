// Blocking loopback sockets for the benchmarks' stand-in servers, origins
// and clients. Every socket gets TCP_NODELAY and read and write time-outs,
// so that no measuring loop can hang on a peer that stopped answering.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"

namespace korvan::bench {

inline constexpr int kSocketTimeoutS = 30;

// Raises this process's soft descriptor limit to `wanted` (at most the hard
// limit); programs it starts inherit it.
void RaiseDescriptorLimit(std::uint64_t wanted);
// TCP_NODELAY and the time-outs.
void TuneSocket(int fd);
// A listening socket on 127.0.0.1 with an ephemeral port (written to `port`);
// exits the benchmark when none can be opened.
int ListenLoopback(std::uint16_t& port);
// A tuned socket connected to 127.0.0.1:port; -1 when nothing accepts.
int ConnectLoopback(std::uint16_t port);
bool SendAll(int fd, const std::uint8_t* data, std::size_t size);
inline bool SendAll(int fd, std::string_view data) {
  return SendAll(fd, reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
}
// Exactly `size` bytes, or false at the end of the stream or on an error.
bool RecvExact(int fd, std::uint8_t* data, std::size_t size);

// A listener on 127.0.0.1 (an ephemeral port) that hands every accepted,
// tuned connection to `on_accept` on its accepting thread. Connections
// given to `Keep` or `Serve` are shut down when the server goes; then all
// threads are joined and the sockets closed.
//
// Thread rule: Keep and Serve may be called from any thread (normally the
// accepting thread, inside `on_accept`); `mutex_` guards the kept sockets
// and the serving threads. The destructor runs once the accepting thread
// has ended, and owns both lists from then on.
class LoopbackServer {
 public:
  using AcceptHandler = std::function<void(int fd, LoopbackServer& self)>;
  explicit LoopbackServer(AcceptHandler on_accept);
  // Serves every connection with `handler` on a thread of its own.
  explicit LoopbackServer(std::function<void(int fd)> handler);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::uint16_t port() const { return port_; }
  int accepted() const { return accepted_.load(); }
  // Keeps `fd` open until the server goes.
  void Keep(int fd) KORVAN_EXCLUDES(mutex_);
  // Runs `fn(fd)` on a thread of its own.
  void Serve(int fd, std::function<void(int)> fn) KORVAN_EXCLUDES(mutex_);

 private:
  void AcceptLoop();

  AcceptHandler on_accept_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::atomic<int> accepted_{0};
  Mutex mutex_;
  std::vector<int> fds_ KORVAN_GUARDED_BY(mutex_);
  std::vector<std::thread> threads_ KORVAN_GUARDED_BY(mutex_);
  std::thread acceptor_;
};

}  // namespace korvan::bench
