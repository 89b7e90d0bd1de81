// The operators' HTTP/1.1 endpoint: GET /healthz for the load balancer's
// health checks (503 once the server drains) and GET /metrics for
// Prometheus.
//
// It is small on purpose and bounded so that no client of it can take
// anything from the tunnel sessions: request heads of at most 8 KiB, 5 s
// for each read and write, at most 16 connections (more are closed at
// accept), bodies never read (a request with one is answered and closed).
//
// Thread rule: everything runs on one strand of the server's io_context;
// Start belongs to the thread that owns the server, Stop may be called
// from any thread. The state lives in a shared object that the coroutines
// keep alive, so the endpoint may go while the loop still holds them.
#pragma once

#include <memory>

#include "server/asio.h"
#include "server/proxy_target.h"
#include "server/server_metrics.h"

namespace korvan::server {

inline constexpr std::size_t kAdminHeadLimit = 8 * 1024;
inline constexpr std::chrono::seconds kAdminTimeLimit{5};
inline constexpr std::size_t kAdminConnectionLimit = 16;

class AdminEndpoint {
 public:
  AdminEndpoint(asio::io_context& io, const ServerMetrics& metrics);
  ~AdminEndpoint();
  AdminEndpoint(const AdminEndpoint&) = delete;
  AdminEndpoint& operator=(const AdminEndpoint&) = delete;

  // Resolves, binds and starts accepting; throws std::runtime_error.
  void Start(const TargetAddress& address);
  tcp::endpoint endpoint() const;
  // Closes the listening socket and every admin connection.
  void Stop();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace korvan::server
