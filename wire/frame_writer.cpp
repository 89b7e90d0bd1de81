#include "wire/frame_writer.h"

#include <stdexcept>

#include "wire/word_compress.h"

namespace korvan {

EncodedFrame EncodeFrame(const WordList& words, std::span<const std::uint8_t> raw,
                         std::span<std::uint8_t, kFrameBufferSize> buffer, std::int64_t& wire_out) {
  if (raw.empty() || raw.size() > kMaxRawBlock) {
    throw std::invalid_argument("a frame carries 1 to 64511 raw bytes");
  }
  std::uint8_t flags = tfDeflate | tfWords;
  std::uint8_t escape = kDefaultEscape;
  const std::size_t length =
      WordCompress::PackBlock(words, raw.data(), raw.size(), flags, escape, buffer.data() + kFrameHeaderRoom);
  std::size_t pos = kFrameHeaderRoom;
  if ((flags & tfWords) && (flags & tfEscape)) buffer[--pos] = escape;
  if (flags & tfShortLength) {
    buffer[--pos] = static_cast<std::uint8_t>(length);
  } else {
    buffer[--pos] = static_cast<std::uint8_t>(length >> 8);
    buffer[--pos] = static_cast<std::uint8_t>(length);
  }
  buffer[--pos] = flags;
  const EncodedFrame frame{pos, kFrameHeaderRoom - pos + length};
  wire_out += static_cast<std::int64_t>(frame.length);
  return frame;
}

std::vector<std::uint8_t> MakeFrameHeader(std::uint8_t flags, std::size_t length, std::uint8_t escape) {
  if (length > 0xFFFF) throw std::invalid_argument("a frame payload holds at most 65535 bytes");
  std::vector<std::uint8_t> header;
  if (length <= 255) {
    flags |= tfShortLength;
  } else {
    flags &= static_cast<std::uint8_t>(~tfShortLength);
  }
  header.push_back(flags);
  header.push_back(static_cast<std::uint8_t>(length));
  if (!(flags & tfShortLength)) header.push_back(static_cast<std::uint8_t>(length >> 8));
  if (flags & tfEscape) header.push_back(escape);
  return header;
}

std::vector<std::uint8_t> MakeFrame(std::uint8_t flags, std::span<const std::uint8_t> payload,
                                    std::uint8_t escape) {
  std::vector<std::uint8_t> frame = MakeFrameHeader(flags, payload.size(), escape);
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

std::vector<std::uint8_t> PackFrame(const WordList& words, std::span<const std::uint8_t> raw,
                                    std::uint8_t wanted, bool control, WordCompress::DeflateStage* deflate) {
  if (raw.empty() || raw.size() > kMaxRawBlock) {
    throw std::invalid_argument("a frame carries 1 to 64511 raw bytes");
  }
  std::vector<std::uint8_t> packed(raw.size() + 1);
  std::uint8_t flags = wanted;
  std::uint8_t escape = kDefaultEscape;
  const std::size_t length = WordCompress::PackBlock(words, raw.data(), raw.size(), flags, escape, packed.data(), deflate);
  packed.resize(length);
  if (control) flags |= tfControl;
  return MakeFrame(flags, packed, escape);
}

}  // namespace korvan
