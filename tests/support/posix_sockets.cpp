#include "tests/support/posix_sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace korvan::test {
namespace {

bool WaitFor(int fd, short events, std::uint32_t timeout_ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int r = ::poll(&p, 1, static_cast<int>(timeout_ms));
    if (r < 0 && errno == EINTR) continue;
    return r > 0;
  }
}

}  // namespace

PosixStreamSocket::PosixStreamSocket(int fd) : fd_(fd) {
  const int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

PosixStreamSocket::~PosixStreamSocket() { Close(); }

bool PosixStreamSocket::Readable() { return fd_ >= 0 && WaitFor(fd_, POLLIN, 0); }

long PosixStreamSocket::Read(std::uint8_t* buffer, std::size_t size) {
  if (fd_ < 0 || !WaitFor(fd_, POLLIN, timeout_ms_)) return -1;
  for (;;) {
    const ssize_t n = ::recv(fd_, buffer, size, 0);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : static_cast<long>(n);
  }
}

bool PosixStreamSocket::Write(std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (fd_ < 0 || !WaitFor(fd_, POLLOUT, timeout_ms_)) return false;
    const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void PosixStreamSocket::Close() {
  if (fd_ >= 0) {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    fd_ = -1;
  }
}

std::string PosixStreamSocket::LocalAddress() const {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return "0.0.0.0";
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  return text;
}

std::uint32_t PosixStreamSocket::PeerAddress() const {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (fd_ < 0 || ::getpeername(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return addr.sin_addr.s_addr;
}

std::uint16_t PosixStreamSocket::PeerPort() const {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (fd_ < 0 || ::getpeername(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

std::unique_ptr<StreamSocket> PosixNetwork::Connect(const std::string& host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return nullptr;
  std::unique_ptr<StreamSocket> result;
  for (addrinfo* a = found; a != nullptr && !result; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      result = std::make_unique<PosixStreamSocket>(fd);
    } else {
      ::close(fd);
    }
  }
  ::freeaddrinfo(found);
  return result;
}

void PosixNetwork::WaitReadable(StreamSocket& first, StreamSocket& second, std::uint32_t timeout_ms) {
  auto& a = static_cast<PosixStreamSocket&>(first);
  auto& b = static_cast<PosixStreamSocket&>(second);
  pollfd fds[2] = {{a.fd(), POLLIN, 0}, {b.fd(), POLLIN, 0}};
  while (::poll(fds, 2, static_cast<int>(timeout_ms)) < 0 && errno == EINTR) {
  }
}

LoopbackListener::LoopbackListener() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 64) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("cannot listen on loopback");
  }
  port_ = ntohs(addr.sin_port);
}

LoopbackListener::~LoopbackListener() { ::close(fd_); }

std::unique_ptr<PosixStreamSocket> LoopbackListener::Accept(int timeout_ms) {
  if (!WaitFor(fd_, POLLIN, static_cast<std::uint32_t>(timeout_ms))) return nullptr;
  const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  return fd < 0 ? nullptr : std::make_unique<PosixStreamSocket>(fd);
}

std::unique_ptr<PosixStreamSocket> ConnectLoopback(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixStreamSocket>(fd);
}

}  // namespace korvan::test
