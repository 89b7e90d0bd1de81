// Blocking TCP streams over POSIX for the connection worker: the accepted
// client connection and the tunnel connection it opens. Every system call
// goes through the SystemCalls given at construction, the kernel's unless a
// test hands in its own; a network gives its calls to the sockets it opens.
//
// Thread rule: as StreamSocket and Network say: one thread uses a stream at a
// time, Close may come from any thread; PosixNetwork is usable from any.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/fd_io.h"
#include "platform/posix_listener.h"
#include "platform/system_calls.h"
#include "tunnel/worker_environment.h"

namespace korvan {

class PosixStreamSocket final : public StreamSocket {
 public:
  // A connection this program opened. The descriptor is closed the way `fd`
  // was told to; reads, writes and waits go through `calls`.
  explicit PosixStreamSocket(UniqueFd fd, SystemCalls& calls = RealSystemCalls());
  // A connection a listener accepted; closing it also tells the listener.
  explicit PosixStreamSocket(std::shared_ptr<AcceptedSocket> accepted, SystemCalls& calls = RealSystemCalls());
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
  std::uint16_t LocalPort() const override;
  int fd() const;

 private:
  SystemCalls& calls_;
  UniqueFd own_;
  std::shared_ptr<AcceptedSocket> accepted_;
  bool closed_ = false;
  std::uint32_t timeout_ms_ = 5000;
};

class PosixNetwork : public Network {
 public:
  explicit PosixNetwork(SystemCalls& calls = RealSystemCalls()) : calls_(calls) {}

  // Resolves `host` (IPv4) and connects; null when that fails.
  std::unique_ptr<StreamSocket> Connect(const std::string& host, std::uint16_t port) override;
  void WaitReadable(StreamSocket& first, StreamSocket& second, std::uint32_t timeout_ms) override;

 private:
  SystemCalls& calls_;
};

}  // namespace korvan
