// Captures of frames for the codec tests: frames of every kind the tunnel
// sends, with the bytes they unpack to and where each frame starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "wire/word_list.h"

namespace korvan::test {

using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(const std::string& text);

// A list of a few header and markup words.
const WordList& CodecTestWords();

// Response-like text of about `size` bytes; different seeds differ.
std::string ResponseText(std::size_t size, std::uint32_t seed);

struct Capture {
  Bytes bytes;                      // the frames, one after another
  Bytes unpacked;                   // what they unpack to, concatenated
  std::vector<std::size_t> starts;  // where each frame starts, then the end
  std::vector<std::size_t> unpacked_at;  // the same in `unpacked`

  // Appends a frame that unpacks to `raw`.
  void Add(const Bytes& frame, const Bytes& raw);
};

// Small frames of every kind: short and two-byte lengths, word tokens only,
// deflate only, both, a chosen escape byte, raw, and one without payload.
Capture MixedCapture();

// `blocks` blocks of up to 64511 bytes with both stages, some barely
// compressible, so that frames near the largest size occur.
Capture LargeCapture(std::size_t blocks);

}  // namespace korvan::test
