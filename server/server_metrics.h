// What the admin endpoint reports: counters the sessions and the acceptor
// bump as they go, and their rendering in Prometheus' text format.
//
// Thread rule: every member of ServerMetrics may be used from any thread.
// The label sets are fixed, so each series is an atomic of its own and
// nothing takes a lock; a snapshot is thus not one instant across series,
// which Prometheus does not expect anyway.
#pragma once

#include <array>
#include <functional>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "server/account.h"

namespace korvan::server {

// The services a tunnel connection may name, as the metrics label them.
enum class MeteredService : std::uint8_t { kHttp, kTcpIp, kSocks4, kSmtp, kAccountQuery };
inline constexpr std::size_t kMeteredServices = 5;
// Why an opening was refused.
enum class LoginRefusal : std::uint8_t { kPassword, kExpired, kNoCredit, kTooManyConnections, kWordList };
inline constexpr std::size_t kLoginRefusals = 5;
enum class ServerError : std::uint8_t {
  kStore,                 // the account store could not be read or written
  kAccept,                // accept() failed (out of descriptors and the like)
  kRefusedOverCapacity,   // closed at accept: --max-connections reached
  kRefusedPendingLimit,   // closed at accept: --max-pending-per-address reached
};
inline constexpr std::size_t kServerErrors = 4;

// Plain numbers, for rendering.
struct MetricsSnapshot {
  std::int64_t connections_open = 0;
  std::uint64_t connections_accepted = 0;
  std::uint64_t sessions_admitted = 0;
  // Per service, bytes as the client's users count them (see Traffic).
  std::array<Traffic, kMeteredServices> traffic{};
  std::uint64_t charged_bytes = 0;  // tunnel bytes taken off some credit
  std::array<std::uint64_t, kLoginRefusals> logins_refused{};
  std::array<std::uint64_t, kServerErrors> errors{};
  bool draining = false;
  std::uint64_t charges_waiting = 0;  // settled traffic records not yet in the store
};

// Prometheus text exposition format 0.0.4.
std::string RenderMetrics(const MetricsSnapshot& snapshot);
inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4";

// The service label of an opening's protocol number; nullopt for numbers no service has.
std::optional<MeteredService> MeteredServiceOf(std::uint8_t protocol);

class ServerMetrics {
 public:
  void ConnectionAccepted() { Bump(connections_accepted_); }
  void ConnectionOpened() { connections_open_.fetch_add(1, std::memory_order_relaxed); }
  void ConnectionClosed() { connections_open_.fetch_sub(1, std::memory_order_relaxed); }
  void SessionAdmitted() { Bump(sessions_admitted_); }
  void AddTraffic(MeteredService service, const Traffic& delta);
  void AddCharged(std::int64_t tunnel_bytes);
  void LoginRefused(LoginRefusal reason) { Bump(logins_refused_[static_cast<std::size_t>(reason)]); }
  void CountError(ServerError kind) { Bump(errors_[static_cast<std::size_t>(kind)]); }
  void SetDraining() { draining_.store(true); }
  // Where the count of charges not yet in the store is read, at each snapshot.
  void CountChargesWaitingWith(std::function<std::size_t()> source) { charges_waiting_ = std::move(source); }

  bool draining() const { return draining_.load(); }
  std::int64_t connections_open() const { return connections_open_.load(std::memory_order_relaxed); }
  MetricsSnapshot Snapshot() const;

 private:
  struct AtomicTraffic {
    std::atomic<std::int64_t> sent_raw{0};
    std::atomic<std::int64_t> sent_wire{0};
    std::atomic<std::int64_t> received_raw{0};
    std::atomic<std::int64_t> received_wire{0};
  };
  static void Bump(std::atomic<std::uint64_t>& counter) { counter.fetch_add(1, std::memory_order_relaxed); }

  std::atomic<std::int64_t> connections_open_{0};
  std::atomic<std::uint64_t> connections_accepted_{0};
  std::atomic<std::uint64_t> sessions_admitted_{0};
  std::array<AtomicTraffic, kMeteredServices> traffic_;
  std::atomic<std::uint64_t> charged_bytes_{0};
  std::array<std::atomic<std::uint64_t>, kLoginRefusals> logins_refused_{};
  std::array<std::atomic<std::uint64_t>, kServerErrors> errors_{};
  std::atomic<bool> draining_{false};
  std::function<std::size_t()> charges_waiting_;  // set once, before the first snapshot
};

// A session's traffic as reported so far: Report() passes on what grew
// since the last call, so the session may report as often as it settles.
class TrafficMeter {
 public:
  explicit TrafficMeter(ServerMetrics& metrics) : metrics_(metrics) {}
  // Traffic before this is set (no opening yet, an unknown service) is not reported.
  void SetService(std::uint8_t protocol) { service_ = MeteredServiceOf(protocol); }
  void Report(const Traffic& total);

 private:
  ServerMetrics& metrics_;
  std::optional<MeteredService> service_;
  Traffic reported_;
};

}  // namespace korvan::server
