// Blocking TCP streams over POSIX for the connection worker: the accepted
// client connection and the tunnel connection it opens.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/fd_io.h"
#include "platform/posix_listener.h"
#include "tunnel/worker_environment.h"

namespace korvan {

class PosixStreamSocket final : public StreamSocket {
 public:
  // A connection this program opened.
  explicit PosixStreamSocket(UniqueFd fd);
  // A connection a listener accepted; closing it also tells the listener.
  explicit PosixStreamSocket(std::shared_ptr<AcceptedSocket> accepted);
  ~PosixStreamSocket() override;

  bool Readable() override;
  long Read(std::uint8_t* buffer, std::size_t size) override;
  bool Write(std::span<const std::uint8_t> bytes) override;
  void SetTimeout(std::uint32_t ms) override { timeout_ms_ = ms; }
  void Close() override;
  bool IsOpen() const override;
  std::string LocalAddress() const override;
  std::uint32_t PeerAddress() const override;
  std::uint16_t PeerPort() const override;
  int fd() const;

 private:
  UniqueFd own_;
  std::shared_ptr<AcceptedSocket> accepted_;
  bool closed_ = false;
  std::uint32_t timeout_ms_ = 5000;
};

class PosixNetwork : public Network {
 public:
  // Resolves `host` (IPv4) and connects; null when that fails.
  std::unique_ptr<StreamSocket> Connect(const std::string& host, std::uint16_t port) override;
  void WaitReadable(StreamSocket& first, StreamSocket& second, std::uint32_t timeout_ms) override;
};

}  // namespace korvan
