// Blocking loopback sockets for the benchmarks' stand-in servers, origins
// and clients. Every socket gets TCP_NODELAY and read and write time-outs,
// so that no measuring loop can hang on a peer that stopped answering.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace korvan::bench {

inline constexpr int kSocketTimeoutS = 30;

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

}  // namespace korvan::bench
