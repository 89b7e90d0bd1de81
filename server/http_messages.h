// HTTP/1.x messages crossing the proxy, parsed by Beast.
//
// The proxy forwards bodies as the bytes that arrived (chunk framing
// included) and uses the parser only to find where each message ends, so a
// parser here keeps the header and throws the body away as it goes.
#pragma once

#include <boost/beast/http.hpp>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>

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

// Feeds `bytes` to the parser until it has taken all it can. Returns the
// count taken; `ec` is left clear when the parser merely wants more bytes.
template <bool isRequest>
std::size_t Feed(http::basic_parser<isRequest>& parser, std::span<const std::uint8_t> bytes,
                 boost::beast::error_code& ec) {
  std::size_t used = 0;
  ec = {};
  while (used < bytes.size() && !parser.is_done()) {
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

// The header to send to the origin for a proxied request: origin-form
// target, the Host of the URL, hop-by-hop and proxy headers left out (and
// those that Connection names), Expect left out when `drop_expect`, and a
// Connection header matching `keep_alive`.
std::string UpstreamRequestHeader(const http::request<DiscardBody>& request, const HttpTarget& target,
                                  bool keep_alive, bool drop_expect);

// True when the request asks for "100-continue".
bool ExpectsContinue(const http::request<DiscardBody>& request);

// A short complete response of the proxy itself, closing the connection.
std::string SimpleResponse(http::status status, std::string_view text);

}  // namespace korvan::server
