// Service 0: the HTTP proxy.
//
// Requests are read one after the other from the client's data; each goes to
// its origin with a rewritten header and its body as it arrived. An answer's
// bytes go back unchanged, frame by frame as they come, unless the user's
// steering choices act on it (content_steering.h decides): then the first
// body bytes are held to recognise a banner or Flash movie (which become a
// control frame), or the whole answer, within bounds, to recompress a JPEG,
// optimise HTML or hand a GIF to the client for shrinking. A connection to
// an origin is kept for the next request to the same host while both ends
// keep it alive.
#include <boost/algorithm/string/predicate.hpp>

#include <functional>
#include <optional>
#include <string_view>

#include "server/content_steering.h"
#include "server/ftp_proxy.h"
#include "server/ftp_url.h"
#include "server/html_optimiser.h"
#include "server/http_messages.h"
#include "server/jpeg_recompress.h"
#include "server/log.h"
#include "server/relay.h"
#include "server/replies.h"
#include "server/service.h"
#include "server/target_connector.h"
#include "wire/frame_format.h"

namespace korvan::server {

namespace {

enum class HeadStatus { kReady, kClosed, kBad, kTooLarge, kTimedOut };
enum class BodyStatus { kDone, kClientGone, kBad, kUpstreamFailed };
enum class AnswerStatus { kComplete, kFailedEarly, kFailedLate };
enum class PumpMode { kStream, kHold, kDiscard };
enum class PumpStatus { kStopped, kDone, kFailed };

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
  // Sends the request's body to the origin, or with `forward` false reads it and drops it.
  Task<BodyStatus> ForwardRequestBody(RequestCutter& parser, bool forward = true);
  Task<AnswerResult> RelayAnswer(bool head_request);
  // Feeds the origin's bytes to `parser` until `stop()` holds or the answer
  // is complete, appending the bytes taken to `held` (kDiscard drops them).
  // kStream sends what is held whenever the origin makes us wait, and in
  // blocks of a frame.
  Task<PumpStatus> Pump(SteeringCutter& parser, Bytes& held, PumpMode mode, const std::function<bool()>& stop);
  Task<void> Flush(Bytes& held);
  // Ends an answer that the parser has complete: keeps or closes the origin.
  AnswerResult Complete(const SteeringCutter& parser);
  // A blocked banner or Flash movie: the rest is discarded, the client gets a control frame.
  Task<AnswerResult> Block(SteeringCutter& parser, const AnswerFacts& facts, const Verdict& verdict);
  // What to send instead of a whole held answer, or nullopt to send it as it came.
  Task<std::optional<Bytes>> Transform(const SteeringCutter& parser, const Bytes& held, const Verdict& verdict);
  static AnswerFacts FactsOf(const SteeringCutter& parser, bool head_request, std::size_t header_size);
  Task<ConnectStatus> ConnectUpstream(const TargetAddress& target);
  Task<void> ReportConnectFailure(ConnectStatus status, const TargetAddress& target);
  Task<void> Tunnel(const http::request<DiscardBody>& request);
  // An ftp:// request; true when the conversation may go on.
  Task<bool> ServeFtp(RequestCutter& parser, std::string_view target_text);
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
  bool forwarded_ = false;       // some of the current answer has gone to the client
  bool ended_by_close_ = false;  // the current answer ended when the origin closed
};

Task<HeadStatus> HttpProxy::ReadRequestHead(RequestCutter& parser) {
  // Between requests only the session's idle limit applies; from the head's
  // first byte on, the whole head must arrive within the opening time-out,
  // so that a client dripping a head cannot hold the connection for ever.
  struct LiftDeadline {
    TunnelReader& reader;
    ~LiftDeadline() { reader.SetDeadline(std::nullopt); }
  } lift{c_.reader};
  bool clock_started = false;
  // How far the head's end has been looked for: a head arriving a byte per
  // frame must not be searched from its start each time.
  std::size_t searched = 0;
  constexpr std::string_view kHeadEnd = "\r\n\r\n";
  for (;;) {
    if (!clock_started && !pending_.empty()) {
      clock_started = true;
      c_.reader.SetDeadline(Clock::now() + c_.config.opening_timeout);
    }
    const std::string_view text(reinterpret_cast<const char*>(pending_.data()), pending_.size());
    const std::size_t from = searched >= kHeadEnd.size() ? searched - (kHeadEnd.size() - 1) : 0;
    searched = pending_.size();
    // The head goes to the parser whole, once our client's hints are out.
    if (text.find(kHeadEnd, from) != std::string_view::npos && RemoveClientHints(pending_)) {
      if (AmbiguousHeadBytes(pending_) != nullptr) co_return HeadStatus::kBad;
      error_code ec;
      // Only the header: the body may go nowhere before the origin is connected.
      const std::size_t n = parser.put(asio::buffer(pending_), ec);
      if (ec && ec != http::error::need_more) {
        co_return ec == http::error::header_limit ? HeadStatus::kTooLarge : HeadStatus::kBad;
      }
      Drop(pending_, n);
      searched = 0;
      if (parser.is_header_done()) co_return HeadStatus::kReady;
    }
    if (pending_.size() > kMaxHeaderBytes) co_return HeadStatus::kTooLarge;
    if (!co_await c_.reader.ReadData(pending_)) {
      co_return c_.reader.timed_out() ? HeadStatus::kTimedOut : HeadStatus::kClosed;
    }
  }
}

Task<BodyStatus> HttpProxy::ForwardRequestBody(RequestCutter& parser, bool forward) {
  while (!parser.is_done()) {
    std::size_t n = 0;
    if (!pending_.empty()) {
      error_code ec;
      n = Feed(parser, pending_, ec);
      if (ec) co_return BodyStatus::kBad;
      if (n > 0 && forward) {
        co_await asio::async_write(upstream_, asio::buffer(pending_.data(), n),
                                   asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return BodyStatus::kUpstreamFailed;
      }
      Drop(pending_, n);
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

Task<PumpStatus> HttpProxy::Pump(SteeringCutter& parser, Bytes& held, PumpMode mode,
                                 const std::function<bool()>& stop) {
  bool need_read = upstream_pending_.empty();
  while (!parser.is_done()) {
    if (stop && stop()) co_return PumpStatus::kStopped;
    if (need_read) {
      // Nothing more is ready: what we have goes out before we wait.
      if (mode == PumpMode::kStream) co_await Flush(held);
      Bytes chunk;
      if (!co_await ReadTargetBlock(upstream_, chunk)) {
        error_code ec;
        if (parser.is_header_done() && parser.need_eof()) parser.put_eof(ec);
        if (!parser.is_done() || ec) co_return PumpStatus::kFailed;
        ended_by_close_ = true;
        break;
      }
      upstream_pending_.insert(upstream_pending_.end(), chunk.begin(), chunk.end());
    }
    error_code ec;
    const std::size_t n = parser.is_header_done() ? Feed(parser, upstream_pending_, ec)
                                                  : FeedHeader(parser, upstream_pending_, ec);
    if (ec) co_return PumpStatus::kFailed;
    if (mode != PumpMode::kDiscard) {
      held.insert(held.end(), upstream_pending_.begin(), upstream_pending_.begin() + static_cast<long>(n));
    }
    Drop(upstream_pending_, n);
    need_read = !parser.is_done() && (upstream_pending_.empty() || n == 0);
    if (mode == PumpMode::kStream && held.size() >= kMaxRawBlock) co_await Flush(held);
  }
  co_return PumpStatus::kDone;
}

Task<void> HttpProxy::Flush(Bytes& held) {
  if (held.empty()) co_return;
  co_await c_.writer.SendData(held);
  forwarded_ = true;
  held.clear();
}

AnswerResult HttpProxy::Complete(const SteeringCutter& parser) {
  const unsigned status = parser.get().result_int();
  const bool keep_alive = parser.keep_alive() && !ended_by_close_ && status != 101;
  if (!keep_alive || !upstream_pending_.empty()) CloseUpstream();
  return AnswerResult{AnswerStatus::kComplete, keep_alive};
}

Task<AnswerResult> HttpProxy::Block(SteeringCutter& parser, const AnswerFacts& facts, const Verdict& verdict) {
  auto& body = parser.get().body();
  body.limit = 0;
  Bytes none;
  bool origin_usable = true;
  if (!parser.is_done()) {
    // Reading the rest keeps the origin connection for the next request;
    // beyond a bound, closing it is cheaper.
    origin_usable = !facts.content_length || *facts.content_length - body.seen <= kMaxDiscardBytes;
    if (origin_usable) {
      const PumpStatus status =
          co_await Pump(parser, none, PumpMode::kDiscard, [&body] { return body.seen > kMaxDiscardBytes; });
      origin_usable = status == PumpStatus::kDone;
    }
  }
  const std::uint64_t full_size = facts.content_length ? *facts.content_length : body.seen;
  const std::uint16_t size = ClampedSize(full_size);
  // What the user did not download is counted once: a banner's frame carries
  // up to 65535 bytes of it, count-only frames the rest; a Flash movie's frame
  // carries none. They go first, in the same write: a client may end the
  // connection on the block frame itself.
  if (verdict.action == Action::kBlockBanner) {
    c_.writer.Owe(CountOnlyFrames(full_size - size));
    const std::uint8_t rest[2] = {static_cast<std::uint8_t>(size & 0xFF), static_cast<std::uint8_t>(size >> 8)};
    co_await c_.writer.SendBytes(ControlFrame(static_cast<std::uint8_t>(verdict.banner_index), rest));
  } else {
    c_.writer.Owe(CountOnlyFrames(full_size));
    co_await c_.writer.SendBytes(ControlFrame(ckFlash));
  }
  forwarded_ = true;
  if (!origin_usable || !parser.keep_alive() || ended_by_close_ || !upstream_pending_.empty()) CloseUpstream();
  // The client answers the browser itself, on a connection it keeps.
  co_return AnswerResult{AnswerStatus::kComplete, true};
}

Task<std::optional<Bytes>> HttpProxy::Transform(const SteeringCutter& parser, const Bytes& held, const Verdict& verdict) {
  const auto& body = parser.get().body();
  if (body.bytes.size() != body.seen) co_return std::nullopt;  // not all of it was kept
  std::optional<Bytes> out;
  // The bytes the new body saves are counted for the client ahead of the answer.
  const auto replace = [this, &parser, &out, &body](std::span<const std::uint8_t> new_body) {
    if (new_body.size() < body.bytes.size()) c_.writer.Owe(CountOnlyFrames(body.bytes.size() - new_body.size()));
    const std::string header = ResponseHeaderWithLength(parser.get().base(), new_body.size());
    out.emplace(header.begin(), header.end());
    out->insert(out->end(), new_body.begin(), new_body.end());
  };
  switch (verdict.action) {
    case Action::kRecompressJpeg: {
      // Decoding a large picture takes a while: it runs on the work pool.
      const int quality = JpegQualityForLevel(c_.steering.jpeg_level);
      const auto* jpeg = &body.bytes;
      const auto picture = co_await asio::co_spawn(
          c_.work_executor,
          [jpeg, quality]() -> Task<std::optional<JpegPicture>> {
            try {
              co_return RecompressJpeg(*jpeg, quality);
            } catch (const std::exception&) {  // out of memory: the original goes on
              co_return std::nullopt;
            }
          },
          asio::use_awaitable);
      if (picture) replace(picture->bytes);
      break;
    }
    case Action::kOptimiseHtml: {
      const std::string_view html(reinterpret_cast<const char*>(body.bytes.data()), body.bytes.size());
      if (!LooksLikeByteHtml(html)) break;
      const std::string smaller = OptimiseHtml(html);
      if (smaller.size() < html.size()) replace(AsBytes(smaller));
      break;
    }
    case Action::kOfferGif: {
      // The client shrinks it: target size and full size, then the answer as it came.
      const auto le16 = [](Bytes& to, std::uint16_t v) {
        to.push_back(static_cast<std::uint8_t>(v & 0xFF));
        to.push_back(static_cast<std::uint8_t>(v >> 8));
      };
      // The payload, kind first; it is packed like data on its way out.
      if (7 + held.size() > kMaxRawBlock) break;  // goes on as it came
      Bytes payload{ckRecompressGif};
      payload.reserve(7 + held.size());
      le16(payload, verdict.gif_target.width);
      le16(payload, verdict.gif_target.height);
      le16(payload, ClampedSize(held.size()));
      payload.insert(payload.end(), held.begin(), held.end());
      out = std::move(payload);
      break;
    }
    default:
      break;
  }
  co_return out;
}

AnswerFacts HttpProxy::FactsOf(const SteeringCutter& parser, bool head_request, std::size_t header_size) {
  const auto& header = parser.get();
  const auto field = [&header](http::field name) {
    const auto value = header[name];
    return std::string_view(value.data(), value.size());
  };
  const auto trimmed = [](std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    return v;
  };
  const std::string_view coding = trimmed(field(http::field::content_encoding));
  const std::string_view transfer = trimmed(field(http::field::transfer_encoding));
  AnswerFacts facts;
  facts.status = header.result_int();
  facts.head_request = head_request;
  facts.encoded = (!coding.empty() && !boost::algorithm::iequals(coding, "identity")) ||
                  (!transfer.empty() && !boost::algorithm::iequals(transfer, "chunked"));
  facts.kind = KindOfContentType(field(http::field::content_type));
  if (!parser.chunked() && parser.content_length()) facts.content_length = *parser.content_length();
  facts.header_size = header_size;
  return facts;
}

Task<AnswerResult> HttpProxy::RelayAnswer(bool head_request) {
  forwarded_ = false;
  const auto failed = [this] {
    return AnswerResult{forwarded_ ? AnswerStatus::kFailedLate : AnswerStatus::kFailedEarly, false};
  };
  for (;;) {
    SteeringCutter parser;
    PrepareCutter(parser);
    if (head_request) parser.skip(true);
    ended_by_close_ = false;
    Bytes held;  // the origin's bytes taken by the parser and not yet sent
    // The header first: what becomes of the body depends on it.
    if (co_await Pump(parser, held, PumpMode::kHold, [&parser] { return parser.is_header_done(); }) ==
        PumpStatus::kFailed) {
      co_return failed();
    }
    const AnswerFacts facts = FactsOf(parser, head_request, held.size());
    auto& body = parser.get().body();
    Verdict verdict;
    if (MayAct(facts, c_.steering)) {
      body.limit = CaptureLimit(facts, c_.steering);
      // The first body bytes tell a GIF's size and a Flash movie's signature.
      const std::size_t hold_limit = held.size() + kMaxHeaderBytes;
      if (co_await Pump(parser, held, PumpMode::kHold, [&] {
            return body.seen >= kSniffBytes || held.size() > hold_limit;
          }) == PumpStatus::kFailed) {
        co_return failed();
      }
      const std::size_t sniffed = std::min(body.bytes.size(), kSniffBytes);
      verdict = Decide(facts, c_.steering, std::span<const std::uint8_t>(body.bytes.data(), sniffed));
    }
    if (verdict.action == Action::kBlockBanner || verdict.action == Action::kBlockFlash) {
      co_return co_await Block(parser, facts, verdict);
    }
    if (verdict.action != Action::kRelay) {
      // The whole answer, within bounds (chunk framing may add to the body).
      const std::size_t hold_limit = facts.header_size + 2 * body.limit + kMaxHeaderBytes;
      const PumpStatus status = co_await Pump(parser, held, PumpMode::kHold, [&] {
        return body.seen > body.limit || held.size() > hold_limit;
      });
      if (status == PumpStatus::kFailed) co_return failed();
      if (status == PumpStatus::kDone) {
        if (auto replacement = co_await Transform(parser, held, verdict)) {
          if (verdict.action == Action::kOfferGif) {
            co_await c_.writer.SendPackedControl(std::move(*replacement));
            forwarded_ = true;
          } else {
            co_await Flush(*replacement);
          }
          co_return Complete(parser);
        }
      }
      // Too big after all, or nothing gained: the answer goes on as it came.
    }
    body.limit = 0;
    body.bytes = {};
    if (co_await Pump(parser, held, PumpMode::kStream, {}) == PumpStatus::kFailed) co_return failed();
    co_await Flush(held);
    const unsigned status = parser.get().result_int();
    if (status >= 100 && status < 200 && status != 101) continue;  // an interim answer; the real one follows
    co_return Complete(parser);
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

Task<bool> HttpProxy::ServeFtp(RequestCutter& parser, std::string_view target_text) {
  const auto& request = parser.get();
  const auto target = ParseFtpTarget(target_text);
  if (!target) {
    co_await Answer(http::status::bad_request, "The proxy could not read this ftp:// URL.");
    co_return false;
  }
  const bool head_request = request.method() == http::verb::head;
  if (request.method() != http::verb::get && !head_request) {
    co_await Answer(http::status::method_not_allowed, "The proxy reads ftp:// URLs with GET and HEAD only.");
    co_return false;
  }
  const bool keep_alive = request.keep_alive();
  if (!parser.is_done()) {
    switch (co_await ForwardRequestBody(parser, false)) {
      case BodyStatus::kDone:
        break;
      case BodyStatus::kBad:
        co_await Answer(http::status::bad_request, "The proxy could not read this request's body.");
        co_return false;
      default:
        co_return false;
    }
  }
  co_return co_await AnswerFtpRequest(c_, *target, head_request, keep_alive);
}

Task<void> HttpProxy::Run() {
  for (;;) {
    RequestCutter parser;
    PrepareCutter(parser);
    RefuseOversizedChunks(parser);
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
      case HeadStatus::kTimedOut:
        Log(c_.name + ": request header not complete within " + std::to_string(c_.config.opening_timeout.count()) +
            " s, closed");
        co_await Answer(http::status::request_timeout, "The request header did not arrive in time.");
        co_return;
    }
    const auto& request = parser.get();
    if (const char* problem = AmbiguousFraming(request)) {
      Log(c_.name + ": request refused: " + problem);
      co_await Answer(http::status::bad_request, "The proxy does not forward this request: " + std::string(problem) + ".");
      co_return;
    }
    if (!c_.still_has_credit()) {
      co_await c_.writer.SendBytes(ControlFrame(ckNoCredit));
      co_return;
    }
    if (request.method() == http::verb::connect) {
      co_await Tunnel(request);
      co_return;
    }
    const std::string_view target_text(request.target().data(), request.target().size());
    if (IsFtpUrl(target_text)) {
      if (!co_await ServeFtp(parser, target_text)) co_return;
      continue;
    }
    const auto target = ParseHttpTarget(target_text);
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
