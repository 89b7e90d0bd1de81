// Writing one frame of the tunnel from one raw block.
//
// Thread rule: pure functions over the caller's buffers; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "wire/frame_format.h"
#include "wire/word_compress.h"
#include "wire/word_list.h"

namespace korvan {

// Where a frame lies in the buffer it was written into.
struct EncodedFrame {
  std::size_t offset = 0;  // first header byte
  std::size_t length = 0;  // header + payload
};

// Packs `raw` (1 to 64511 bytes) with both stages into `buffer` (the worker's
// 65535-byte frame buffer): the payload at offset 4, the header filled in
// backwards in front of it. Adds the frame length to `wire_out`.
// Throws std::invalid_argument when `raw` is empty or too long.
EncodedFrame EncodeFrame(const WordList& words, std::span<const std::uint8_t> raw,
                         std::span<std::uint8_t, kFrameBufferSize> buffer, std::int64_t& wire_out);

// Writes a header for a payload of `length` bytes with `flags` (tfShortLength
// is set or cleared to match the length) and `escape` (written when tfEscape
// is set). Returns the header bytes. Used to build frames by hand: control
// frames of the server, tests.
std::vector<std::uint8_t> MakeFrameHeader(std::uint8_t flags, std::size_t length,
                                          std::uint8_t escape = kDefaultEscape);

// A whole frame: header plus `payload` as given (already packed by the caller
// according to `flags`).
std::vector<std::uint8_t> MakeFrame(std::uint8_t flags, std::span<const std::uint8_t> payload,
                                    std::uint8_t escape = kDefaultEscape);

// A whole frame that packs `raw` with the stages in `wanted` (tfDeflate,
// tfWords), adding tfControl when `control` is set; `deflate` as in PackBlock.
std::vector<std::uint8_t> PackFrame(const WordList& words, std::span<const std::uint8_t> raw,
                                    std::uint8_t wanted = tfDeflate | tfWords, bool control = false,
                                    WordCompress::DeflateStage* deflate = nullptr);

}  // namespace korvan
