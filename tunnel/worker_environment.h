// What a connection worker needs from the world around it, as small
// interfaces: the main-thread hand-off and stream sockets (the clock is in
// tunnel/clock.h). The platform layer implements them; tests replace them
// with fakes, including fault-injecting ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "tunnel/clock.h"

namespace korvan {

// Runs work on the main thread, which owns all shared state.
//
// Thread rule: Invoke may be called from any thread.
class MainThread {
 public:
  virtual ~MainThread() = default;
  // Runs `fn` on the main thread and returns when it has finished. Called
  // from the main thread itself, it runs `fn` at once.
  virtual void Invoke(const std::function<void()>& fn) = 0;
};

// A connected, blocking TCP stream.
//
// Thread rule: one thread uses a stream. A connection a listener accepted
// may also be closed by that listener, from its own thread; the stream then
// reads as closed and its user wakes.
class StreamSocket {
 public:
  virtual ~StreamSocket() = default;
  // Zero-wait check: true when a read would return at once (data waiting,
  // the peer closed, or an error is pending).
  virtual bool Readable() = 0;
  // Reads at most `size` bytes, waiting up to the read time-out. Returns the
  // count, 0 at the end of the stream, -1 on an error or time-out.
  virtual long Read(std::uint8_t* buffer, std::size_t size) = 0;
  // Writes every byte, or returns false.
  virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
  virtual void SetTimeout(std::uint32_t ms) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // Dotted IPv4 text of the local address, the peer's IPv4 address as held
  // in the socket address (network order), and the peer's port.
  virtual std::string LocalAddress() const = 0;
  virtual std::uint32_t PeerAddress() const = 0;
  virtual std::uint16_t PeerPort() const = 0;
  // The port of this end; 0 when unknown.
  virtual std::uint16_t LocalPort() const = 0;
};

// Opens tunnel connections and waits on two streams at once.
//
// Thread rule: any thread; each call stands alone.
class Network {
 public:
  virtual ~Network() = default;
  // Opens a blocking connection; null when it cannot be opened.
  virtual std::unique_ptr<StreamSocket> Connect(const std::string& host, std::uint16_t port) = 0;
  // Returns when either stream is readable or `timeout_ms` has passed.
  virtual void WaitReadable(StreamSocket& first, StreamSocket& second, std::uint32_t timeout_ms) = 0;
};

}  // namespace korvan
