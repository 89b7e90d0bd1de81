// Loopback sockets for tests that run a worker over real connections: the
// program's own POSIX streams, a listener and a plain client connection.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/posix_stream_socket.h"

namespace korvan::test {

using korvan::PosixNetwork;
using korvan::PosixStreamSocket;

// A listening socket on 127.0.0.1 with an ephemeral port.
class LoopbackListener {
 public:
  LoopbackListener();
  ~LoopbackListener();
  std::uint16_t port() const { return port_; }
  // The next accepted connection, or null after `timeout_ms`.
  std::unique_ptr<PosixStreamSocket> Accept(int timeout_ms = 5000);

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// A plain client connection to 127.0.0.1:port.
std::unique_ptr<PosixStreamSocket> ConnectLoopback(std::uint16_t port);

}  // namespace korvan::test
