// Service 0: the HTTP proxy.
//
// Requests are read one after the other from the client's data; each goes to
// its origin with a rewritten header and its body as it arrived, and the
// answer's bytes go back unchanged, frame by frame as they come. The parser
// only finds where each message ends. A connection to an origin is kept for
// the next request to the same host while both ends keep it alive.
#include <string_view>

#include "server/http_messages.h"
#include "server/log.h"
#include "server/relay.h"
#include "server/replies.h"
#include "server/service.h"
#include "server/target_connector.h"
#include "tunnel/frame_format.h"

namespace korvan::server {

namespace {

enum class HeadStatus { kReady, kClosed, kBad, kTooLarge };
enum class BodyStatus { kDone, kClientGone, kBad, kUpstreamFailed };
enum class AnswerStatus { kComplete, kFailedEarly, kFailedLate };

struct AnswerResult {
  AnswerStatus status = AnswerStatus::kFailedEarly;
  bool keep_alive = false;  // the client may send another request
};

std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

void Drop(Bytes& bytes, std::size_t count) { bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(count)); }

class HttpProxy {
 public:
  explicit HttpProxy(ServiceContext& context)
      : c_(context), upstream_(context.executor), registration_(context, upstream_) {}

  Task<void> Run();

 private:
  Task<HeadStatus> ReadRequestHead(RequestCutter& parser);
  Task<BodyStatus> ForwardRequestBody(RequestCutter& parser);
  Task<AnswerResult> RelayAnswer(bool head_request);
  Task<ConnectStatus> ConnectUpstream(const TargetAddress& target);
  Task<void> ReportConnectFailure(ConnectStatus status, const TargetAddress& target);
  Task<void> Tunnel(const http::request<DiscardBody>& request);
  Task<void> Answer(http::status status, std::string_view text) {
    co_await c_.writer.SendData(AsBytes(SimpleResponse(status, text)));
  }
  void CloseUpstream() {
    upstream_.close();
    upstream_target_.reset();
    upstream_pending_.clear();
  }

  ServiceContext& c_;
  Bytes pending_;  // the client's bytes not yet taken by a parser
  beast::tcp_stream upstream_;
  TargetRegistration registration_;
  std::optional<TargetAddress> upstream_target_;  // what upstream_ is connected to
  Bytes upstream_pending_;                        // the origin's bytes not yet taken
};

Task<HeadStatus> HttpProxy::ReadRequestHead(RequestCutter& parser) {
  for (;;) {
    if (!pending_.empty()) {
      error_code ec;
      // Only the header: the body may go nowhere before the origin is connected.
      const std::size_t n = parser.put(asio::buffer(pending_), ec);
      if (ec && ec != http::error::need_more) {
        co_return ec == http::error::header_limit ? HeadStatus::kTooLarge : HeadStatus::kBad;
      }
      Drop(pending_, n);
      if (parser.is_header_done()) co_return HeadStatus::kReady;
    }
    if (pending_.size() > kMaxHeaderBytes) co_return HeadStatus::kTooLarge;
    if (!co_await c_.reader.ReadData(pending_)) co_return HeadStatus::kClosed;
  }
}

Task<BodyStatus> HttpProxy::ForwardRequestBody(RequestCutter& parser) {
  while (!parser.is_done()) {
    std::size_t n = 0;
    if (!pending_.empty()) {
      error_code ec;
      n = Feed(parser, pending_, ec);
      if (ec) co_return BodyStatus::kBad;
      if (n > 0) {
        co_await asio::async_write(upstream_, asio::buffer(pending_.data(), n),
                                   asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return BodyStatus::kUpstreamFailed;
        Drop(pending_, n);
      }
    }
    if (parser.is_done()) break;
    if (n == 0) {
      // A chunk header that never ends must not grow without bound.
      if (pending_.size() > kMaxHeaderBytes) co_return BodyStatus::kBad;
      if (!co_await c_.reader.ReadData(pending_)) co_return BodyStatus::kClientGone;
    }
  }
  co_return BodyStatus::kDone;
}

Task<AnswerResult> HttpProxy::RelayAnswer(bool head_request) {
  bool forwarded = false;
  const auto failed = [&forwarded] {
    return AnswerResult{forwarded ? AnswerStatus::kFailedLate : AnswerStatus::kFailedEarly, false};
  };
  for (;;) {
    ResponseCutter parser;
    PrepareCutter(parser);
    if (head_request) parser.skip(true);
    Bytes block;
    bool ended_by_close = false;
    bool need_read = upstream_pending_.empty();
    while (!parser.is_done()) {
      if (need_read) {
        // Nothing more is ready: what we have goes out before we wait.
        if (!block.empty()) {
          co_await c_.writer.SendData(block);
          forwarded = true;
          block.clear();
        }
        Bytes chunk;
        if (!co_await ReadTargetBlock(upstream_, chunk)) {
          error_code ec;
          if (parser.is_header_done() && parser.need_eof()) parser.put_eof(ec);
          if (!parser.is_done() || ec) co_return failed();
          ended_by_close = true;
          break;
        }
        upstream_pending_.insert(upstream_pending_.end(), chunk.begin(), chunk.end());
      }
      error_code ec;
      const std::size_t n = Feed(parser, upstream_pending_, ec);
      if (ec) co_return failed();
      block.insert(block.end(), upstream_pending_.begin(), upstream_pending_.begin() + static_cast<long>(n));
      Drop(upstream_pending_, n);
      need_read = !parser.is_done() && (upstream_pending_.empty() || n == 0);
      if (block.size() >= kMaxRawBlock) {
        co_await c_.writer.SendData(block);
        forwarded = true;
        block.clear();
      }
    }
    if (!block.empty()) {
      co_await c_.writer.SendData(block);
      forwarded = true;
    }
    const unsigned status = parser.get().result_int();
    if (status >= 100 && status < 200 && status != 101) continue;  // an interim answer; the real one follows
    const bool keep_alive = parser.keep_alive() && !ended_by_close && status != 101;
    if (!keep_alive || !upstream_pending_.empty()) CloseUpstream();
    co_return AnswerResult{AnswerStatus::kComplete, keep_alive};
  }
}

Task<ConnectStatus> HttpProxy::ConnectUpstream(const TargetAddress& target) {
  CloseUpstream();
  const ConnectStatus status = co_await ConnectTarget(upstream_, target, c_.policy);
  if (status == ConnectStatus::kConnected) upstream_target_ = target;
  co_return status;
}

Task<void> HttpProxy::ReportConnectFailure(ConnectStatus status, const TargetAddress& target) {
  if (status == ConnectStatus::kForbidden) {
    Log(c_.name + ": refused private target " + Printable(target.host));
    co_await Answer(http::status::forbidden,
                    "The proxy does not connect to " + target.host + ": it lies in a private network.");
  } else {
    co_await c_.writer.SendBytes(ControlFrame(ckGatewayError, target.host));
  }
}

Task<void> HttpProxy::Tunnel(const http::request<DiscardBody>& request) {
  const std::string_view authority(request.target().data(), request.target().size());
  const auto target = ParseAuthority(authority);
  if (!target) {
    co_await Answer(http::status::bad_request, "CONNECT needs a target host:port.");
    co_return;
  }
  const ConnectStatus status = co_await ConnectUpstream(*target);
  if (status != ConnectStatus::kConnected) {
    co_await ReportConnectFailure(status, *target);
    co_return;
  }
  co_await c_.writer.SendBytes(ControlFrame(ckConnectOk));
  co_await Relay(c_, upstream_, std::move(pending_));
}

Task<void> HttpProxy::Run() {
  for (;;) {
    RequestCutter parser;
    PrepareCutter(parser);
    switch (co_await ReadRequestHead(parser)) {
      case HeadStatus::kReady:
        break;
      case HeadStatus::kClosed:
        co_return;
      case HeadStatus::kBad:
        co_await Answer(http::status::bad_request, "The proxy could not read this request.");
        co_return;
      case HeadStatus::kTooLarge:
        co_await Answer(http::status::request_header_fields_too_large, "The request header is too large.");
        co_return;
    }
    const auto& request = parser.get();
    if (!c_.still_has_credit()) {
      co_await c_.writer.SendBytes(ControlFrame(ckNoCredit));
      co_return;
    }
    if (request.method() == http::verb::connect) {
      co_await Tunnel(request);
      co_return;
    }
    const auto target = ParseHttpTarget(std::string_view(request.target().data(), request.target().size()));
    if (!target) {
      co_await Answer(http::status::bad_request, "The proxy takes absolute http:// URLs and CONNECT only.");
      co_return;
    }
    const bool expect_continue = ExpectsContinue(request);
    const bool client_keep_alive = request.keep_alive();
    const std::string header = UpstreamRequestHeader(request, *target, client_keep_alive, expect_continue);
    const bool has_body = !parser.is_done();
    const bool head_request = request.method() == http::verb::head;
    if (expect_continue) {
      // The proxy says go on itself, so that the client does not wait for an
      // interim answer that would stay behind the body it holds back.
      co_await c_.writer.SendData(AsBytes("HTTP/1.1 100 Continue\r\n\r\n"));
    }

    AnswerResult answer;
    // A kept connection may have been closed by the origin meanwhile; a
    // request without a body is then sent once more on a new connection.
    for (int attempt = 0; attempt < 2; ++attempt) {
      const bool reused = upstream_target_ && upstream_target_->host == target->address.host &&
                          upstream_target_->port == target->address.port;
      if (!reused) {
        const ConnectStatus status = co_await ConnectUpstream(target->address);
        if (status != ConnectStatus::kConnected) {
          co_await ReportConnectFailure(status, target->address);
          co_return;
        }
      }
      error_code ec;
      co_await asio::async_write(upstream_, asio::buffer(header), asio::redirect_error(asio::use_awaitable, ec));
      if (!ec && has_body) {
        switch (co_await ForwardRequestBody(parser)) {
          case BodyStatus::kDone:
            break;
          case BodyStatus::kClientGone:
            co_return;
          case BodyStatus::kBad:
            co_await Answer(http::status::bad_request, "The proxy could not read this request's body.");
            co_return;
          case BodyStatus::kUpstreamFailed:
            ec = asio::error::broken_pipe;
            break;
        }
      }
      answer = ec ? AnswerResult{} : co_await RelayAnswer(head_request);
      if (answer.status != AnswerStatus::kFailedEarly || !reused || has_body) break;
      CloseUpstream();
    }
    if (answer.status == AnswerStatus::kFailedEarly) {
      CloseUpstream();
      co_await c_.writer.SendBytes(ControlFrame(ckGatewayError, target->address.host));
      co_return;
    }
    if (answer.status == AnswerStatus::kFailedLate || !client_keep_alive || !answer.keep_alive) co_return;
  }
}

}  // namespace

Task<void> RunHttpProxy(ServiceContext& context) {
  HttpProxy proxy(context);
  co_await proxy.Run();
}

}  // namespace korvan::server
