#include "server/http_messages.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/beast/core/string.hpp>

#include <set>
#include <sstream>

namespace korvan::server {

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Header names never forwarded: they concern one hop or the proxy itself.
bool IsHopByHop(const std::string& name) {
  static const std::set<std::string> kNames = {"connection", "keep-alive", "proxy-connection", "proxy-authorization",
                                               "proxy-authenticate", "te", "upgrade", "host"};
  return kNames.count(name) > 0;
}

}  // namespace

bool ExpectsContinue(const http::request<DiscardBody>& request) {
  const auto it = request.find(http::field::expect);
  return it != request.end() && boost::algorithm::iequals(std::string_view(it->value().data(), it->value().size()),
                                                          "100-continue");
}

std::string UpstreamRequestHeader(const http::request<DiscardBody>& request, const HttpTarget& target,
                                  bool keep_alive, bool drop_expect) {
  std::set<std::string> named;
  for (const auto& field : request) {
    if (field.name() != http::field::connection && field.name() != http::field::proxy_connection) continue;
    for (const auto token : http::token_list(field.value())) named.insert(Lower({token.data(), token.size()}));
  }
  const bool chunked = request.chunked();

  http::request<http::empty_body> out;
  out.method_string(request.method_string());
  out.target(target.path);
  out.version(request.version());
  out.set(http::field::host, target.authority);
  for (const auto& field : request) {
    const std::string name = Lower({field.name_string().data(), field.name_string().size()});
    if (IsHopByHop(name) || named.count(name) > 0) continue;
    if (drop_expect && name == "expect") continue;
    // With both, chunked framing wins; sending both would invite smuggling.
    if (chunked && name == "content-length") continue;
    if (name == "accept-encoding") continue;
    out.insert(field.name_string(), field.value());
  }
  out.set(http::field::accept_encoding, "identity");
  out.keep_alive(keep_alive);
  std::ostringstream text;
  text << out.base();
  return text.str();
}

std::string ResponseHeaderWithLength(const http::response_header<>& header, std::size_t length) {
  http::response_header<> out = header;
  out.erase(http::field::transfer_encoding);
  out.erase(http::field::content_length);
  out.set(http::field::content_length, std::to_string(length));
  std::ostringstream text;
  text << out;
  return text.str();
}

std::string SimpleResponse(http::status status, std::string_view text) {
  http::response<http::string_body> response{status, 11};
  response.set(http::field::content_type, "text/plain; charset=us-ascii");
  response.set(http::field::connection, "close");
  response.body() = std::string(text) + "\n";
  response.prepare_payload();
  std::ostringstream out;
  out << response;
  return out.str();
}

bool RemoveClientHints(std::vector<std::uint8_t>& bytes) {
  constexpr std::string_view kHint = "\r\nKorvan buffer:";
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const std::size_t head_end = text.find("\r\n\r\n");
  if (head_end == std::string_view::npos) return false;
  // Lines are cut out back to front, so that earlier offsets stay valid.
  std::vector<std::pair<std::size_t, std::size_t>> cuts;
  for (std::size_t at = text.find(kHint); at != std::string_view::npos && at < head_end;
       at = text.find(kHint, at + kHint.size())) {
    std::size_t value = at + kHint.size();
    while (value < head_end + 2 && text[value] == ' ') ++value;
    std::size_t end = value;
    while (end < head_end + 2 && text[end] >= '0' && text[end] <= '9') ++end;
    // Only the exact hint: digits and then the line's end.
    if (end == value || end > head_end || text.compare(end, 2, "\r\n") != 0) continue;
    cuts.emplace_back(at + 2, end + 2);  // the line with its CR LF
  }
  for (auto it = cuts.rbegin(); it != cuts.rend(); ++it) {
    bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(it->first), bytes.begin() + static_cast<std::ptrdiff_t>(it->second));
  }
  return true;
}

const char* AmbiguousHeadBytes(std::span<const std::uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const std::size_t head_end = text.find("\r\n\r\n");
  const std::string_view head = text.substr(0, head_end == std::string_view::npos ? text.size() : head_end + 2);
  for (std::size_t i = 0; i < head.size(); ++i) {
    if (head[i] == '\r' && (i + 1 == head.size() || head[i + 1] != '\n')) return "a CR without LF in the request head";
    if (head[i] == '\n') {
      if (i == 0 || head[i - 1] != '\r') return "an LF without CR in the request head";
      if (i + 1 < head.size() && (head[i + 1] == ' ' || head[i + 1] == '\t')) return "a folded header line";
    }
  }
  return nullptr;
}

const char* AmbiguousFraming(const http::request<DiscardBody>& request) {
  if (request.count(http::field::content_length) > 1) return "Content-Length given twice";
  const auto length = request.find(http::field::content_length);
  if (length != request.end() && std::string_view(length->value().data(), length->value().size()).find(',') !=
                                     std::string_view::npos) {
    return "Content-Length given as a list";
  }
  if (request.count(http::field::transfer_encoding) > 1) return "Transfer-Encoding given twice";
  const auto coding = request.find(http::field::transfer_encoding);
  if (coding != request.end()) {
    std::string_view value(coding->value().data(), coding->value().size());
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    if (!boost::algorithm::iequals(value, "chunked")) return "a Transfer-Encoding other than chunked";
  }
  return nullptr;
}

void RefuseOversizedChunks(RequestCutter& parser) {
  // The parser keeps a reference to the callback: it must outlive every parser.
  static auto refuse = [](std::uint64_t size, boost::beast::string_view, boost::beast::error_code& ec) {
    if (size > kMaxRequestChunk) ec = http::error::bad_chunk;
  };
  parser.on_chunk_header(refuse);
}

}  // namespace korvan::server
