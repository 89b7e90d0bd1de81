// The command line of the server itself:
//   korvan-server --listen HOST:PORT --words FILE --accounts FILE|URL
//                 [--smtp-relay HOST:PORT] [--allow-private] [--threads N]
//                 [--max-connections N] [--max-account-connections N]
//                 [--max-pending-per-address N] [--opening-timeout SECONDS]
//                 [--deflate-level 1-12] [--admin HOST:PORT] [--drain-timeout SECONDS]
//                 [--charge-spool FILE] [--lease-time SECONDS] [--proxy-protocol]
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "server/proxy_target.h"

namespace korvan::server {

// libdeflate's level 11: within 0.1 % of level 12's bytes on markup at
// three quarters of its CPU, and about 3 % below zlib's level 9.
inline constexpr int kDefaultDeflateLevel = 11;

struct ServerConfig {
  TargetAddress listen;  // port 0 picks a free port (tests)
  std::filesystem::path words;
  // A SQLite file, or a postgresql:// URL for a store several servers share.
  std::filesystem::path accounts;
  std::optional<TargetAddress> smtp_relay;
  bool allow_private = false;
  unsigned io_threads = 2;               // event loop threads
  unsigned pack_threads = 2;             // threads that pack frames for the client
  unsigned max_connections = 1024;       // tunnel connections in all
  unsigned max_account_connections = 32; // simultaneous connections of one account
  // Connections of one peer address that have not been admitted or refused
  // yet; more are closed at accept.
  unsigned max_pending_per_address = 32;
  // For the opening message after accept, and for each HTTP request head
  // from its first byte.
  std::chrono::seconds opening_timeout{30};
  // How hard answers are deflated: 1 (fastest) to 12 (smallest). Each step
  // above 9 costs CPU on the server for fewer bytes on the client's link.
  int deflate_level = kDefaultDeflateLevel;
  // Where the HTTP endpoint for health checks and metrics listens; none
  // without it. Port 0 picks a free port.
  std::optional<TargetAddress> admin;
  // How long a drain lets open sessions finish before they are closed.
  std::chrono::seconds drain_timeout{30};
  // Where charges the store could not take before the server stopped are
  // kept for the next start; none: they are lost (and the loss is logged).
  std::filesystem::path charge_spool;
  // How long a shared store counts this server's connections without hearing
  // from it: a server that dies frees its accounts' slots after this.
  std::chrono::seconds lease_time{15};
  // Every connection begins with a load balancer's PROXY header (version 2)
  // naming the client; one without it is closed.
  bool proxy_protocol = false;
};

extern const char kServerUsage[];

// The arguments after the program name. A text names the problem on failure.
std::variant<ServerConfig, std::string> ParseServerOptions(const std::vector<std::string>& args);

}  // namespace korvan::server
