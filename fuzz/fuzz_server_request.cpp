// The request side of korvan-server over arbitrary client bytes: the opening
// message, the client's frames arriving in pieces, and then whatever the
// opening's service reads from the unpacked data (HTTP request headers and
// bodies, the port mapping's Host line, SOCKS 4 requests).
#include "fuzz/fuzz_target.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "server/client_frames.h"
#include "server/http_messages.h"
#include "server/proxy_header.h"
#include "server/proxy_target.h"
#include "server/stream_requests.h"
#include "wire/frame_format.h"
#include "wire/opening.h"
#include "wire/word_list.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void ReadHttp(const Bytes& data) {
  namespace http = korvan::server::http;
  std::size_t used = 0;
  while (used < data.size()) {
    korvan::server::RequestCutter parser;
    korvan::server::PrepareCutter(parser);
    boost::beast::error_code ec;
    const std::span<const std::uint8_t> rest(data.data() + used, data.size() - used);
    const std::size_t n = korvan::server::Feed(parser, rest, ec);
    if (ec || n == 0 || !parser.is_header_done()) return;
    used += n;
    const auto& request = parser.get();
    const std::string_view target(request.target().data(), request.target().size());
    if (request.method() == http::verb::connect) {
      korvan::server::ParseAuthority(target);
    } else if (const auto url = korvan::server::ParseHttpTarget(target)) {
      const std::string header = korvan::server::UpstreamRequestHeader(request, *url, request.keep_alive(),
                                                                       korvan::server::ExpectsContinue(request));
      if (header.size() < 4 || header.compare(header.size() - 4, 4, "\r\n\r\n") != 0) __builtin_trap();
    }
    if (!parser.is_done()) return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const korvan::WordList words(2, {"HTTP/1.1 ", "Host: ", "\r\n\r\n", "Content-Length: "});
  // A balancer's header, as the first bytes may be read: it never claims
  // more than it was given.
  const auto header = korvan::server::ParseProxyHeader(std::span<const std::uint8_t>(data, size));
  if (header.outcome == korvan::server::ProxyHeader::Outcome::kDone && header.size > size) __builtin_trap();
  if (size < 1 + korvan::kOpeningSize) return 0;
  const std::size_t piece = 1 + data[0] % 128;
  const auto opening = korvan::ParseOpening(std::span<const std::uint8_t>(data + 1, korvan::kOpeningSize));
  if (!opening) __builtin_trap();

  // Cut the frames as the server's reader does: a complete frame at a time.
  std::vector<std::uint8_t> received;
  std::vector<std::uint8_t> scratch(korvan::kMaxUnpackedBlock);
  Bytes unpacked;
  for (std::size_t pos = 1 + korvan::kOpeningSize; pos < size; pos += piece) {
    received.insert(received.end(), data + pos, data + std::min(size, pos + piece));
    for (;;) {
      const auto frame = korvan::server::TakeClientFrame(words, received, unpacked, scratch.data());
      if (frame.kind == korvan::server::ClientFrameKind::kIncomplete) break;
      if (frame.kind == korvan::server::ClientFrameKind::kBad) return 0;
      if (frame.consumed == 0 || frame.consumed > received.size()) __builtin_trap();
      received.erase(received.begin(), received.begin() + static_cast<long>(frame.consumed));
    }
    if (received.size() > korvan::kMaxUnpackedBlock + korvan::kMaxFrameHeader + piece) __builtin_trap();
  }

  switch (static_cast<korvan::Protocol>(opening->protocol())) {
    case korvan::Protocol::kHttp:
      ReadHttp(unpacked);
      break;
    case korvan::Protocol::kTcpIp: {
      const auto result = korvan::server::ParseMappingRequest(unpacked);
      if (const auto* r = std::get_if<korvan::server::MappingRequest>(&result); r && r->consumed > unpacked.size()) {
        __builtin_trap();
      }
      break;
    }
    case korvan::Protocol::kSocks4: {
      const auto result = korvan::server::ParseSocksRequest(unpacked);
      if (const auto* r = std::get_if<korvan::server::SocksRequest>(&result); r && r->consumed > unpacked.size()) {
        __builtin_trap();
      }
      break;
    }
    default:
      break;
  }
  return 0;
}
