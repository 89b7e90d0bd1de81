// Services 1 to 3, which carry a plain byte stream once they know where to:
// the port mapping, SOCKS 4 and the SMTP relay.
#include <optional>
#include <string_view>
#include <utility>
#include <variant>

#include "server/log.h"
#include "server/relay.h"
#include "server/replies.h"
#include "server/service.h"
#include "server/stream_requests.h"
#include "server/target_connector.h"
#include "wire/frame_format.h"

namespace korvan::server {

namespace {

constexpr std::string_view kSmtpUnavailable =
    "421 korvan-server Service not available, closing transmission channel\r\n";

std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Bytes After(const Bytes& bytes, std::size_t consumed) {
  return Bytes(bytes.begin() + static_cast<long>(consumed), bytes.end());
}

// Reads the client's data until `parse` decides. Null when the client left.
template <class Parse>
Task<std::optional<decltype(std::declval<Parse>()(std::span<const std::uint8_t>()))>> ReadRequest(
    ServiceContext& context, Bytes& data, Parse parse) {
  for (;;) {
    auto result = parse(data);
    if (!std::holds_alternative<NeedMore>(result)) co_return result;
    if (!co_await context.reader.ReadData(data)) co_return std::nullopt;
  }
}

}  // namespace

Task<void> RunPortMapping(ServiceContext& context) {
  Bytes data;
  const auto result = co_await ReadRequest(context, data, ParseMappingRequest);
  if (!result) co_return;
  if (const auto* bad = std::get_if<Malformed>(&*result)) {
    Log(context.name + ": " + bad->reason);
    co_await context.writer.SendBytes(ControlFrame(ckStatusText, "Port mapping refused: " + bad->reason + "."));
    co_return;
  }
  const auto& request = std::get<MappingRequest>(*result);
  beast::tcp_stream target(context.executor);
  TargetRegistration registration(context, target);
  const ConnectStatus status = co_await ConnectTarget(target, request.target, context.policy);
  if (status == ConnectStatus::kForbidden) {
    Log(context.name + ": refused private target " + Printable(request.target.host));
    co_await context.writer.SendBytes(ControlFrame(
        ckStatusText, "The server does not connect to " + request.target.host + ": it lies in a private network."));
    co_return;
  }
  if (status != ConnectStatus::kConnected) {
    co_await context.writer.SendBytes(ControlFrame(ckGatewayError, request.target.host));
    co_return;
  }
  co_await Relay(context, target, After(data, request.consumed));
}

Task<void> RunSocks4(ServiceContext& context) {
  Bytes data;
  const auto result = co_await ReadRequest(context, data, ParseSocksRequest);
  if (!result) co_return;
  const auto rejected = SocksReply(kSocksRejected);
  if (const auto* bad = std::get_if<Malformed>(&*result)) {
    Log(context.name + ": " + bad->reason);
    co_await context.writer.SendData(rejected);
    co_return;
  }
  const auto& request = std::get<SocksRequest>(*result);
  if (request.command != 1 || request.target.port == 0) {
    co_await context.writer.SendData(rejected);  // BIND and anything else: connect only
    co_return;
  }
  beast::tcp_stream target(context.executor);
  TargetRegistration registration(context, target);
  const ConnectStatus status = co_await ConnectTarget(target, request.target, context.policy);
  if (status != ConnectStatus::kConnected) {
    if (status == ConnectStatus::kForbidden) {
      Log(context.name + ": refused private target " + Printable(request.target.host));
    }
    co_await context.writer.SendData(rejected);
    co_return;
  }
  error_code ec;
  const auto remote = target.socket().remote_endpoint(ec);
  std::array<std::uint8_t, 4> address{};
  if (!ec && remote.address().is_v4()) address = remote.address().to_v4().to_bytes();
  co_await context.writer.SendData(SocksReply(kSocksGranted, request.target.port, address));
  co_await Relay(context, target, After(data, request.consumed));
}

Task<void> RunSmtp(ServiceContext& context) {
  if (!context.config.smtp_relay) {
    co_await context.writer.SendData(AsBytes(kSmtpUnavailable));
    co_return;
  }
  beast::tcp_stream target(context.executor);
  TargetRegistration registration(context, target);
  // The relay is the operator's own choice, so the private-range rule does not apply to it.
  const ConnectStatus status = co_await ConnectTarget(target, *context.config.smtp_relay, TargetPolicy{true});
  if (status != ConnectStatus::kConnected) {
    Log(context.name + ": the SMTP relay " + context.config.smtp_relay->host + " cannot be reached");
    co_await context.writer.SendData(AsBytes(kSmtpUnavailable));
    co_return;
  }
  co_await Relay(context, target, {});
}

}  // namespace korvan::server
