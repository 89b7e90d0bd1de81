// One transfer of the soak, driven over loopback with plain sockets: a GET
// through the client's HTTP port, or an echo exchange through CONNECT, SOCKS 4
// or a TCP/IP mapping, with the fault the plan names. Every wait is bounded,
// so a transfer that the programs leave hanging ends as kHung instead of
// holding the test.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace korvan::soak {

using Clock = std::chrono::steady_clock;

enum class Kind { kGet, kConnect, kSocks4, kMapping };
inline constexpr int kKinds = 4;
const char* KindName(Kind kind);

enum class Fault {
  kNone,
  kSlowReader,   // reads one byte a second for kSlowSeconds, then at full speed
  kHalfClose,    // shutdown(SHUT_WR) once everything is sent, then reads on
  kClientReset,  // closes with SO_LINGER 0 part way through
  kVanish,       // closes without reading a byte
  kOriginReset,  // the origin resets mid-body (GET only)
  kOriginStall,  // the origin pauses mid-body (GET only)
};
inline constexpr int kFaults = 7;
const char* FaultName(Fault fault);
inline constexpr int kSlowSeconds = 3;

enum class Outcome {
  kComplete,   // every byte arrived and matched
  kErrorPage,  // an HTTP answer other than 200 (the client's own pages)
  kClosed,     // the connection ended (FIN or RST) before the end
  kRefused,    // SOCKS 4 request refused (5B)
  kOwnClose,   // the test closed it on purpose (reset, vanish)
  kCorrupt,    // a byte differed, or the answer was malformed
  kHung,       // no byte within kQuietLimit, or past kTransferLimit
  kNoConnect,  // the client's port did not accept
};
inline constexpr int kOutcomes = 8;
const char* OutcomeName(Outcome outcome);

// Longer than every legitimate pause on the way: the client's 10 s write
// time-out, the server's 15 s connect time-out and the origin's stall.
inline constexpr auto kQuietLimit = std::chrono::seconds(30);
// No transfer of the soak may take longer than this, however slow.
inline constexpr auto kTransferLimit = std::chrono::seconds(150);

struct Ports {
  int http = 0, socks = 0, mapping = 0;  // the client's
  int origin = 0, echo = 0;              // the far ends
};

struct TransferPlan {
  Kind kind = Kind::kGet;
  Fault fault = Fault::kNone;
  std::size_t size = 0;
  std::uint32_t seed = 0;
};

struct TransferResult {
  Outcome outcome = Outcome::kHung;
  std::size_t received = 0;  // checked bytes of the body or the echo
  int status = 0;            // the HTTP status, when there was one
  Clock::time_point start, end;
  std::string detail;        // what went wrong, for the failure list
};

TransferResult RunTransfer(const Ports& ports, const TransferPlan& plan);

}  // namespace korvan::soak
