// The client's GIF recompression over arbitrary bytes. An odd first byte:
// the rest is the whole ckRecompressGif payload. An even one: bytes 1-4 are
// the target width and height, byte 5 picks the framing (Content-Length,
// one chunk, small chunks, none) and the rest is the GIF body, wrapped in a
// well-formed response. Either way the answer is the response unchanged or
// a response whose body is a GIF of the target size.
#include "fuzz/fuzz_target.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "response/gif_codec.h"
#include "response/gif_response.h"

namespace {

// Small limits keep every run fast; the paths are the same as with the
// program's own.
const korvan::GifLimits kLimits{1024, 256 * 1024};

std::string Wrap(std::span<const std::uint8_t> gif, int framing) {
  const std::string body(gif.begin(), gif.end());
  std::string response = "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\n";
  char size[24];
  switch (framing) {
    case 0:
      return response + "Content-Length: " + std::to_string(body.size()) + "\r\nX-Tail: 1\r\n\r\n" + body;
    case 1:
      std::snprintf(size, sizeof size, "%zx", body.size());
      return response + "Transfer-Encoding: chunked\r\n\r\n" + size + "\r\n" + body + "\r\n0\r\n\r\n";
    case 2: {
      response += "Transfer-Encoding: chunked\r\n\r\n";
      for (std::size_t at = 0; at < body.size(); at += 13) {
        const std::string part = body.substr(at, 13);
        std::snprintf(size, sizeof size, "%zX;e=1", part.size());
        response += std::string(size) + "\r\n" + part + "\r\n";
      }
      return response + "0\r\nTrailer: x\r\n\r\n";
    }
    default:
      return response + "\r\n" + body;
  }
}

void CheckAnswer(std::span<const std::uint8_t> response, const std::vector<std::uint8_t>& out, int width,
                 int height) {
  if (std::equal(out.begin(), out.end(), response.begin(), response.end())) return;
  const std::string text(out.begin(), out.end());
  const std::size_t end = text.find("\r\n\r\n");
  if (end == std::string::npos) __builtin_trap();
  std::string body = text.substr(end + 4);
  std::string header = text.substr(0, end + 2);
  for (char& c : header) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  if (header.find("\r\nCONTENT-LENGTH:") == std::string::npos &&
      header.find("\r\nTRANSFER-ENCODING:") != std::string::npos) {
    const auto joined = korvan::Dechunk(body);
    if (!joined) __builtin_trap();
    body = *joined;
  }
  const auto gif = korvan::DecodeGif(
      {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()}, korvan::GifFrames::kAll, kLimits);
  if (!gif || gif->width != width || gif->height != height || gif->frames.size() != 1) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) {
    if (!korvan::RecompressGifResponse({}, kLimits).empty()) __builtin_trap();
    return 0;
  }
  const std::span<const std::uint8_t> input(data, size);
  std::vector<std::uint8_t> payload;
  if (data[0] % 2 == 1) {
    payload.assign(input.begin() + 1, input.end());
  } else {
    if (size < 6) return 0;
    const std::string response = Wrap(input.subspan(6), data[5] % 4);
    payload.resize(5 + response.size());
    payload[0] = 20;
    std::copy(data + 1, data + 5, payload.begin() + 1);
    std::copy(response.begin(), response.end(), payload.begin() + 5);
  }
  const std::vector<std::uint8_t> out = korvan::RecompressGifResponse(payload, kLimits);
  if (payload.size() < 5) {
    if (!out.empty()) __builtin_trap();
    return 0;
  }
  CheckAnswer(std::span<const std::uint8_t>(payload).subspan(5), out, payload[1] | payload[2] << 8,
              payload[3] | payload[4] << 8);
  return 0;
}
