#include "response/gif_response.h"

#include <cstdio>
#include <utility>

#include "response/gif_compress.h"

namespace korvan {
namespace {

std::string UpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::optional<std::string> Dechunk(std::string_view body) {
  std::string data;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t line_end = body.find('\n', pos);
    if (line_end == std::string_view::npos) return std::nullopt;
    std::string_view line = body.substr(pos, line_end - pos);
    pos = line_end + 1;
    // The size, then perhaps ";extension"; blanks around it are tolerated.
    line = line.substr(0, line.find(';'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.empty()) return std::nullopt;
    std::size_t size = 0;
    for (const char c : line) {
      const int digit = HexValue(c);
      if (digit < 0) return std::nullopt;
      size = size * 16 + static_cast<std::size_t>(digit);
      // Larger than anything left: damaged, and no overflow either.
      if (size > body.size()) return std::nullopt;
    }
    if (size == 0) return data;  // the trailers that may follow are not needed
    if (size > body.size() - pos) return std::nullopt;
    data.append(body.substr(pos, size));
    pos += size;
    if (body.substr(pos, 2) == "\r\n") {
      pos += 2;
    } else if (body.substr(pos, 1) == "\n") {
      pos += 1;
    } else {
      return std::nullopt;
    }
  }
}

std::vector<std::uint8_t> RecompressGifResponse(std::span<const std::uint8_t> payload, const GifLimits& limits) {
  if (payload.size() < 5) return {};
  const int width = payload[1] | payload[2] << 8;
  const int height = payload[3] | payload[4] << 8;
  const std::span<const std::uint8_t> response_bytes = payload.subspan(5);
  const std::string_view response(reinterpret_cast<const char*>(response_bytes.data()), response_bytes.size());
  const auto unchanged = [&] { return std::vector<std::uint8_t>(response_bytes.begin(), response_bytes.end()); };
  if (width == 0 || height == 0) return unchanged();

  const std::size_t header_end = response.find("\r\n\r\n");
  if (header_end == std::string_view::npos) return unchanged();
  const std::size_t body_start = header_end + 4;
  const std::string_view header = response.substr(0, body_start);
  const std::string upper = UpperAscii(header);
  const bool chunked = upper.find("\r\nTRANSFER-ENCODING:") != std::string::npos;

  const std::string_view body = response.substr(body_start);
  std::optional<std::string> joined;
  if (chunked) {
    joined = Dechunk(body);
    if (!joined) return unchanged();
  }
  auto image = DecodeGif(AsBytes(joined ? std::string_view(*joined) : body), GifFrames::kFirst, limits);
  if (!image) return unchanged();
  TGifCompress compress;
  if (!compress.Recompress(*image, width, height, limits)) return unchanged();
  const std::vector<std::uint8_t> gif = EncodeGif(*image);
  if (gif.empty()) return unchanged();

  std::string head;
  std::string tail;
  const std::size_t length_line = upper.find("\r\nCONTENT-LENGTH:");
  // The Content-Length line from its first byte to past its line end.
  const auto length_line_span = [&] {
    const std::size_t line_start = length_line + 2;
    // The header ends in "\r\n\r\n", so every line has its end.
    return std::pair{line_start, header.find("\r\n", line_start) + 2};
  };
  if (chunked) {
    // The chunk framing is rebuilt. A Content-Length beside it is dropped:
    // the browser goes by the chunks and would be misled by a new length.
    head.append(header);
    if (length_line != std::string::npos) {
      const auto [from, to] = length_line_span();
      head = std::string(header.substr(0, from)) + std::string(header.substr(to));
    }
    char size[24];
    std::snprintf(size, sizeof size, "%04zx\r\n", gif.size());
    head.append(size);
    tail = "\r\n0\r\n\r\n";
  } else if (length_line != std::string::npos) {
    const auto [from, to] = length_line_span();
    head.append(header.substr(0, from));
    head.append("Content-Length:").append(std::to_string(gif.size())).append("\r\n");
    head.append(header.substr(to));
  } else {
    head.append(header);
  }
  std::vector<std::uint8_t> out;
  out.reserve(head.size() + gif.size() + tail.size());
  out.insert(out.end(), head.begin(), head.end());
  out.insert(out.end(), gif.begin(), gif.end());
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

}  // namespace korvan
