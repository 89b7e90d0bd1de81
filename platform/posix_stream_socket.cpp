#include "platform/posix_stream_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace korvan {
namespace {

void NoDelay(SystemCalls& calls, int fd) {
  const int one = 1;
  calls.SetSockOpt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A blocking connect that a signal interrupted goes on in the background;
// calling connect again would fail with EALREADY. Wait for it to end and take
// its outcome from the socket.
bool ConnectRetrying(SystemCalls& calls, int fd, const sockaddr* address, socklen_t length) {
  if (calls.Connect(fd, address, length) == 0) return true;
  if (errno != EINTR) return false;
  pollfd p{fd, POLLOUT, 0};
  int ready = 0;
  do {
    ready = calls.Poll(&p, 1, -1);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return false;
  int error = 0;
  socklen_t size = sizeof error;
  if (calls.GetSockOpt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return false;
  errno = error;
  return error == 0;
}

}  // namespace

PosixStreamSocket::PosixStreamSocket(UniqueFd fd, SystemCalls& calls) : calls_(calls), own_(std::move(fd)) {
  NoDelay(calls_, own_.get());
}

PosixStreamSocket::PosixStreamSocket(std::shared_ptr<AcceptedSocket> accepted, SystemCalls& calls)
    : calls_(calls), accepted_(std::move(accepted)) {
  NoDelay(calls_, accepted_->fd());
}

PosixStreamSocket::~PosixStreamSocket() { Close(); }

int PosixStreamSocket::fd() const { return accepted_ ? accepted_->fd() : own_.get(); }

bool PosixStreamSocket::IsOpen() const { return !closed_ && !(accepted_ && accepted_->closed()); }

bool PosixStreamSocket::Readable() { return IsOpen() && PollFor(fd(), POLLIN, 0, calls_); }

long PosixStreamSocket::Read(std::uint8_t* buffer, std::size_t size) {
  if (!IsOpen()) return -1;
  // Bytes that are already there are taken at once; the wait (and its
  // system call) is only for a socket that has nothing yet.
  for (;;) {
    const ssize_t n = calls_.Recv(fd(), buffer, size, MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    if (!PollFor(fd(), POLLIN, timeout_ms_, calls_)) return -1;
  }
}

bool PosixStreamSocket::Write(std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (!IsOpen()) return false;
    const ssize_t n = calls_.Send(fd(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    // The peer's window is full: wait for room, within the time-out.
    if (!PollFor(fd(), POLLOUT, timeout_ms_, calls_)) return false;
  }
  return true;
}

void PosixStreamSocket::Close() {
  if (closed_) return;
  closed_ = true;
  if (accepted_) {
    accepted_->Close();
  } else if (own_) {
    calls_.Shutdown(own_.get(), SHUT_RDWR);
    own_.reset();
  }
}

std::string PosixStreamSocket::LocalAddress() const {
  if (accepted_) return accepted_->local_address();
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (calls_.GetSockName(fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return "0.0.0.0";
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  return text;
}

std::uint32_t PosixStreamSocket::PeerAddress() const {
  if (accepted_) {
    std::uint32_t address = 0;
    std::memcpy(&address, accepted_->client_ip().data(), 4);
    return address;
  }
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (calls_.GetPeerName(fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return addr.sin_addr.s_addr;
}

std::uint16_t PosixStreamSocket::PeerPort() const {
  if (accepted_) return accepted_->client_port();
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (calls_.GetPeerName(fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

std::uint16_t PosixStreamSocket::LocalPort() const {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (calls_.GetSockName(fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
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
    UniqueFd fd(calls_.Socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol), calls_);
    if (!fd) continue;
    if (ConnectRetrying(calls_, fd.get(), a->ai_addr, a->ai_addrlen)) {
      result = std::make_unique<PosixStreamSocket>(std::move(fd), calls_);
    }
  }
  ::freeaddrinfo(found);
  return result;
}

void PosixNetwork::WaitReadable(StreamSocket& first, StreamSocket& second, std::uint32_t timeout_ms) {
  const int a = static_cast<PosixStreamSocket&>(first).fd();
  const int b = static_cast<PosixStreamSocket&>(second).fd();
  pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
  // After a signal the wait goes on for the time that is left.
  using Steady = std::chrono::steady_clock;
  const Steady::time_point deadline = Steady::now() + std::chrono::milliseconds(timeout_ms);
  int wait_ms = static_cast<int>(timeout_ms);
  while (calls_.Poll(fds, 2, wait_ms) < 0 && errno == EINTR) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Steady::now()).count();
    wait_ms = left > 0 ? static_cast<int>(left) : 0;
  }
}

}  // namespace korvan
