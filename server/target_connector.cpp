#include "server/target_connector.h"

#include <vector>

namespace korvan::server {

Task<ResolvedTarget> ResolveTarget(const asio::any_io_executor& executor, const TargetAddress& target,
                                   const TargetPolicy& policy) {
  tcp::resolver resolver(executor);
  error_code ec;
  const auto results = co_await resolver.async_resolve(target.host, std::to_string(target.port),
                                                       asio::redirect_error(asio::use_awaitable, ec));
  ResolvedTarget out;
  if (ec || results.empty()) co_return out;
  for (const auto& entry : results) {
    if (policy.Allows(entry.endpoint().address())) out.allowed.push_back(entry.endpoint());
  }
  out.status = out.allowed.empty() ? ConnectStatus::kForbidden : ConnectStatus::kConnected;
  co_return out;
}

Task<ConnectStatus> ConnectTarget(beast::tcp_stream& stream, const TargetAddress& target, const TargetPolicy& policy,
                                  std::chrono::seconds timeout) {
  const ResolvedTarget resolved = co_await ResolveTarget(stream.get_executor(), target, policy);
  if (resolved.status != ConnectStatus::kConnected) co_return resolved.status;
  const std::vector<tcp::endpoint>& allowed = resolved.allowed;
  error_code ec;

  stream.expires_after(timeout);
  co_await stream.async_connect(allowed, asio::redirect_error(asio::use_awaitable, ec));
  stream.expires_never();
  if (ec) {
    stream.close();
    co_return ConnectStatus::kUnreachable;
  }
  stream.socket().set_option(tcp::no_delay(true), ec);
  co_return ConnectStatus::kConnected;
}

}  // namespace korvan::server
