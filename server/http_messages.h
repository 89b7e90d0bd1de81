// HTTP/1.x messages crossing the proxy, parsed by Beast.
//
// The proxy forwards bodies as the bytes that arrived (chunk framing
// included) and uses the parser only to find where each message ends, so a
// parser here keeps the header and throws the body away as it goes.
#pragma once

#include <boost/beast/http.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/proxy_target.h"

namespace korvan::server {

namespace http = boost::beast::http;

// A Beast body that accepts any body and keeps none of it.
struct DiscardBody {
  struct value_type {};
  struct reader {
    template <bool isRequest, class Fields>
    reader(http::header<isRequest, Fields>&, value_type&) {}
    void init(const boost::optional<std::uint64_t>&, boost::beast::error_code& ec) { ec = {}; }
    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, boost::beast::error_code& ec) {
      ec = {};
      return boost::asio::buffer_size(buffers);
    }
    void finish(boost::beast::error_code& ec) { ec = {}; }
  };
};

using RequestCutter = http::request_parser<DiscardBody>;
using ResponseCutter = http::response_parser<DiscardBody>;

// A Beast body that keeps the first `limit` decoded body bytes (chunk
// framing removed) and counts all of them; the rest is thrown away. The
// limit may be raised once the header is in, before any body byte.
struct CaptureBody {
  struct value_type {
    std::vector<std::uint8_t> bytes;
    std::size_t limit = 0;
    std::uint64_t seen = 0;
  };
  struct reader {
    template <bool isRequest, class Fields>
    reader(http::header<isRequest, Fields>&, value_type& body) : body_(body) {}
    void init(const boost::optional<std::uint64_t>&, boost::beast::error_code& ec) { ec = {}; }
    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, boost::beast::error_code& ec) {
      ec = {};
      std::size_t total = 0;
      for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers);
           ++it) {
        const boost::asio::const_buffer piece = *it;
        const auto* data = static_cast<const std::uint8_t*>(piece.data());
        const std::size_t room = body_.limit > body_.bytes.size() ? body_.limit - body_.bytes.size() : 0;
        const std::size_t kept = std::min(room, piece.size());
        body_.bytes.insert(body_.bytes.end(), data, data + kept);
        total += piece.size();
      }
      body_.seen += total;
      return total;
    }
    void finish(boost::beast::error_code& ec) { ec = {}; }

   private:
    value_type& body_;
  };
};

// The proxy's parser for answers: the header, and as much of the body as
// the content steering asks to keep.
using SteeringCutter = http::response_parser<CaptureBody>;

inline constexpr std::uint32_t kMaxHeaderBytes = 64 * 1024;

// Makes a parser ready for proxying: a 64 KiB header limit, no body limit
// (bodies are streamed, never held).
template <class Parser>
void PrepareCutter(Parser& parser) {
  parser.header_limit(kMaxHeaderBytes);
  // Not boost::none: Boost 1.74 compares a Content-Length against an empty
  // limit as if the limit were smaller than any length.
  parser.body_limit(std::numeric_limits<std::uint64_t>::max());
}

// Feeds `bytes` to the parser until it has taken all it can, or, with
// `header_only`, until the header is complete, so that no body byte is taken
// before the caller has looked at the header. Returns the count taken; `ec`
// is left clear when the parser merely wants more bytes.
template <bool isRequest>
std::size_t Feed(http::basic_parser<isRequest>& parser, std::span<const std::uint8_t> bytes,
                 boost::beast::error_code& ec, bool header_only = false) {
  std::size_t used = 0;
  ec = {};
  while (used < bytes.size() && !(header_only ? parser.is_header_done() : parser.is_done())) {
    const std::size_t n = parser.put(boost::asio::const_buffer(bytes.data() + used, bytes.size() - used), ec);
    used += n;
    if (ec == http::error::need_more) {
      ec = {};
      break;
    }
    if (ec || n == 0) break;
  }
  return used;
}

template <bool isRequest>
std::size_t FeedHeader(http::basic_parser<isRequest>& parser, std::span<const std::uint8_t> bytes,
                       boost::beast::error_code& ec) {
  return Feed(parser, bytes, ec, true);
}

// The header to send to the origin for a proxied request: origin-form
// target, the Host of the URL, hop-by-hop and proxy headers left out (and
// those that Connection names), Expect left out when `drop_expect`, and a
// Connection header matching `keep_alive`. Accept-Encoding is always
// "identity": the tunnel packs answers itself, and the proxy can only
// look into bodies that arrive plain.
std::string UpstreamRequestHeader(const http::request<DiscardBody>& request, const HttpTarget& target,
                                  bool keep_alive, bool drop_expect);

// An answer's header for a body of `length` bytes that replaces the one
// received: Content-Length set, Transfer-Encoding dropped, all else kept.
std::string ResponseHeaderWithLength(const http::response_header<>& header, std::size_t length);

// True when the request asks for "100-continue".
bool ExpectsContinue(const http::request<DiscardBody>& request);

// A short complete response of the proxy itself, closing the connection.
std::string SimpleResponse(http::status status, std::string_view text);

// Our client's updater sends the line "Korvan buffer: N" (decimal N) in its
// request heads, a hint for this server that no origin may see, and whose
// blank in the field name no HTTP parser accepts. Removes every such line
// from the head at the start of `bytes` once that head is complete (its
// CR LF CR LF has arrived). Returns false while the head is incomplete.
// Other malformed field names stay, for the parser to refuse.
bool RemoveClientHints(std::vector<std::uint8_t>& bytes);

// Request framing that two parsers could read differently is refused, so
// that no origin behind the proxy ever sees a second request hidden in the
// first one's body.
//
// In the raw head at the start of `bytes` (complete, ending CR LF CR LF): a
// CR not followed by LF, an LF not preceded by CR, or a folded line (one
// that starts with a blank). Null when the head is sound, else what is wrong.
const char* AmbiguousHeadBytes(std::span<const std::uint8_t> bytes);
// In the parsed head: Content-Length twice or as a list, or a
// Transfer-Encoding other than plain chunked (with both, the parser already
// failed).
const char* AmbiguousFraming(const http::request<DiscardBody>& request);

// Chunks larger than this are refused in request bodies: an origin that
// keeps a chunk's size in 32 bits would read the rest of the body as
// requests of its own.
inline constexpr std::uint64_t kMaxRequestChunk = 0x7FFFFFFF;
// Makes `parser` fail on a chunk larger than kMaxRequestChunk.
void RefuseOversizedChunks(RequestCutter& parser);

}  // namespace korvan::server
