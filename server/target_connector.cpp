#include "server/target_connector.h"

#include <vector>

namespace korvan::server {

Task<ConnectStatus> ConnectTarget(beast::tcp_stream& stream, const TargetAddress& target, const TargetPolicy& policy,
                                  std::chrono::seconds timeout) {
  tcp::resolver resolver(stream.get_executor());
  error_code ec;
  const auto results = co_await resolver.async_resolve(target.host, std::to_string(target.port),
                                                       asio::redirect_error(asio::use_awaitable, ec));
  if (ec || results.empty()) co_return ConnectStatus::kUnreachable;

  std::vector<tcp::endpoint> allowed;
  for (const auto& entry : results) {
    if (policy.Allows(entry.endpoint().address())) allowed.push_back(entry.endpoint());
  }
  if (allowed.empty()) co_return ConnectStatus::kForbidden;

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
