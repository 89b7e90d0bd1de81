// POSIX stream sockets and the two-socket wait, for tests that run a worker
// over real loopback connections.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tunnel/worker_environment.h"

namespace korvan::test {

class PosixStreamSocket final : public StreamSocket {
 public:
  explicit PosixStreamSocket(int fd);
  ~PosixStreamSocket() override;

  bool Readable() override;
  long Read(std::uint8_t* buffer, std::size_t size) override;
  bool Write(std::span<const std::uint8_t> bytes) override;
  void SetTimeout(std::uint32_t ms) override { timeout_ms_ = ms; }
  void Close() override;
  bool IsOpen() const override { return fd_ >= 0; }
  std::string LocalAddress() const override;
  std::uint32_t PeerAddress() const override;
  std::uint16_t PeerPort() const override;
  int fd() const { return fd_; }

 private:
  int fd_;
  std::uint32_t timeout_ms_ = 5000;
};

class PosixNetwork : public Network {
 public:
  std::unique_ptr<StreamSocket> Connect(const std::string& host, std::uint16_t port) override;
  void WaitReadable(StreamSocket& first, StreamSocket& second, std::uint32_t timeout_ms) override;
};

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
