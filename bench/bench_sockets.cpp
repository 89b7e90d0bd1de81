#include "bench/bench_sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace korvan::bench {

void RaiseDescriptorLimit(std::uint64_t wanted) {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
  lim.rlim_cur = std::max<rlim_t>(lim.rlim_cur, std::min<rlim_t>(lim.rlim_max, static_cast<rlim_t>(wanted)));
  ::setrlimit(RLIMIT_NOFILE, &lim);
}

void TuneSocket(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{kSocketTimeoutS, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int ListenLoopback(std::uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4096) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::perror("listen on loopback");
    std::exit(1);
  }
  port = ntohs(addr.sin_port);
  return fd;
}

int ConnectLoopback(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  TuneSocket(fd);
  return fd;
}

bool SendAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool RecvExact(int fd, std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::recv(fd, data, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

LoopbackServer::LoopbackServer(AcceptHandler on_accept) : on_accept_(std::move(on_accept)) {
  listen_fd_ = ListenLoopback(port_);
  if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("cannot make the listener's pipe");
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::LoopbackServer(std::function<void(int fd)> handler)
    : LoopbackServer([handler = std::move(handler)](int fd, LoopbackServer& self) { self.Serve(fd, handler); }) {}

LoopbackServer::~LoopbackServer() {
  const char b = 1;
  [[maybe_unused]] const ssize_t w = ::write(wake_[1], &b, 1);
  acceptor_.join();
  {
    MutexLock lock(mutex_);
    for (const int fd : fds_) ::shutdown(fd, SHUT_RDWR);
  }
  for (auto& t : threads_) t.join();
  for (const int fd : fds_) ::close(fd);
  ::close(listen_fd_);
  ::close(wake_[0]);
  ::close(wake_[1]);
}

void LoopbackServer::Keep(int fd) {
  MutexLock lock(mutex_);
  fds_.push_back(fd);
}

void LoopbackServer::Serve(int fd, std::function<void(int)> fn) {
  MutexLock lock(mutex_);
  fds_.push_back(fd);
  threads_.emplace_back([fd, fn = std::move(fn)] { fn(fd); });
}

void LoopbackServer::AcceptLoop() {
  for (;;) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents != 0) return;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    TuneSocket(fd);
    ++accepted_;
    on_accept_(fd, *this);
  }
}

}  // namespace korvan::bench
