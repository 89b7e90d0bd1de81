// Opening a connection to a target named by a client: name resolution, the
// address policy, and a bounded connect.
#pragma once

#include <string>
#include <vector>

#include "server/asio.h"
#include "server/proxy_target.h"
#include "server/target_policy.h"

namespace korvan::server {

enum class ConnectStatus {
  kConnected,
  kForbidden,    // every address of the name lies in a range the policy refuses
  kUnreachable,  // the name does not resolve, or no address accepted in time
};

inline constexpr std::chrono::seconds kConnectTimeout{15};

struct ResolvedTarget {
  ConnectStatus status = ConnectStatus::kUnreachable;  // kConnected: `allowed` holds the addresses to try
  std::vector<tcp::endpoint> allowed;
};

// Resolves `target` and keeps the addresses the policy allows.
Task<ResolvedTarget> ResolveTarget(const asio::any_io_executor& executor, const TargetAddress& target,
                                   const TargetPolicy& policy);

// Connects `stream` (which must be closed) to `target`. The stream has no
// expiry afterwards; the session's idle watch takes over.
Task<ConnectStatus> ConnectTarget(beast::tcp_stream& stream, const TargetAddress& target, const TargetPolicy& policy,
                                  std::chrono::seconds timeout = kConnectTimeout);

}  // namespace korvan::server
