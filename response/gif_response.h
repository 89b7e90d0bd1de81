// The local recompression of a GIF answer: the server sends the complete
// HTTP response with the size it wants the picture to have; the client
// resizes the picture and mends the response's framing around it.
//
// Pure functions of their arguments; any thread may call them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "response/gif_codec.h"

namespace korvan {

// `payload`: the kind byte, the target width and height (16-bit
// little-endian each), then the HTTP response, header and GIF body (chunked
// or not). The result is the response with the recompressed picture, its
// Content-Length replaced in place or its chunk framing rebuilt. Whatever
// cannot be recompressed (no end of header, a damaged, truncated or
// oversized picture, a target of 0) comes back as the response that arrived,
// the bytes after the 5-byte prefix; a payload shorter than that gives an
// empty result.
std::vector<std::uint8_t> RecompressGifResponse(std::span<const std::uint8_t> payload,
                                                const GifLimits& limits = {});

// The data of a chunked body, all chunks joined (extensions and trailers are
// ignored); nullopt when the framing is damaged or ends before the last
// chunk.
std::optional<std::string> Dechunk(std::string_view body);

}  // namespace korvan
