#include "platform/posix_listener.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvan {
namespace {

constexpr int kAcceptRetryMs = 100;  // after a failed accept (descriptors exhausted)

std::string DottedLocalAddress(int fd) {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) return "0.0.0.0";
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
  return text;
}

}  // namespace

void AcceptedSocket::Close() {
  if (!closed_.exchange(true)) ::shutdown(fd_.get(), SHUT_RDWR);
}

PosixListener::~PosixListener() { Deactivate(); }

bool PosixListener::Activate(std::string* error) {
  const auto fail = [&](const char* what) {
    if (error != nullptr) *error = std::string(what) + ": " + ErrnoText(errno);
    listen_fd_.reset();
    wake_read_.reset();
    wake_write_.reset();
    return false;
  };
  if (active()) return true;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port_));
  if (port_ < 1 || port_ > 65535 || ::inet_pton(AF_INET, bind_address_.c_str(), &address.sin_addr) != 1) {
    errno = EINVAL;
    return fail("invalid address");
  }
  listen_fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listen_fd_) return fail("socket");
  // Lets a restarted program reuse its port while old connections linger in
  // TIME_WAIT; on Linux it does not let two listeners share a port.
  const int on = 1;
  ::setsockopt(listen_fd_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listen_fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return fail("bind");
  if (::listen(listen_fd_.get(), SOMAXCONN) != 0) return fail("listen");
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return fail("pipe");
  wake_read_.reset(pipe_fds[0]);
  wake_write_.reset(pipe_fds[1]);
  accept_thread_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void PosixListener::Deactivate() {
  if (accept_thread_.joinable()) {
    const char stop = 1;
    while (::write(wake_write_.get(), &stop, 1) < 0 && errno == EINTR) {
    }
    accept_thread_.join();
  }
  listen_fd_.reset();
  wake_read_.reset();
  wake_write_.reset();
  std::vector<std::weak_ptr<AcceptedSocket>> remaining;
  {
    MutexLock lock(mutex_);
    remaining.swap(connections_);
  }
  for (auto& weak : remaining) {
    if (auto socket = weak.lock()) socket->Close();
  }
}

void PosixListener::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;

    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    UniqueFd client(::accept4(listen_fd_.get(), reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC));
    if (!client) {
      if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
      // Out of descriptors or memory: wait for the stop signal a little
      // instead of spinning on a listener that stays readable.
      pollfd wake{wake_read_.get(), POLLIN, 0};
      if (::poll(&wake, 1, kAcceptRetryMs) > 0) return;
      continue;
    }
    std::array<std::uint8_t, 4> ip{};
    std::memcpy(ip.data(), &peer.sin_addr.s_addr, ip.size());
    std::string local = DottedLocalAddress(client.get());
    auto socket = std::make_shared<AcceptedSocket>(std::move(client), std::move(local), ip, ntohs(peer.sin_port));
    {
      MutexLock lock(mutex_);
      Prune();
      connections_.push_back(socket);
    }
    factory_.Start(std::move(socket), entry_.load());
  }
}

void PosixListener::Prune() {
  std::erase_if(connections_, [](const std::weak_ptr<AcceptedSocket>& weak) {
    const auto socket = weak.lock();
    return !socket || socket->closed();
  });
}

std::size_t PosixListener::ActiveConnectionCount() {
  MutexLock lock(mutex_);
  Prune();
  return connections_.size();
}

void PosixListener::CloseFirstConnection() {
  std::shared_ptr<AcceptedSocket> first;
  {
    MutexLock lock(mutex_);
    Prune();
    if (connections_.empty()) return;
    first = connections_.front().lock();
    connections_.erase(connections_.begin());
  }
  if (first) first->Close();
}

}  // namespace korvan
