#include "tools/codec/codec_commands.h"

#include <array>

#include "wire/frame_reader.h"
#include "wire/frame_writer.h"
#include "wire/word_compress.h"

namespace korvan {

CommandResult PackCommand(const WordList& words, std::span<const std::uint8_t> raw) {
  CommandResult result;
  if (raw.empty() || raw.size() > kMaxRawBlock) {
    result.error = "pack takes one block of 1 to 64511 bytes; got " + std::to_string(raw.size());
    return result;
  }
  std::vector<std::uint8_t> buffer(kFrameBufferSize);
  std::int64_t wire = 0;
  const EncodedFrame frame = EncodeFrame(words, raw, std::span<std::uint8_t, kFrameBufferSize>(buffer), wire);
  result.output.assign(buffer.begin() + static_cast<long>(frame.offset),
                       buffer.begin() + static_cast<long>(frame.offset + frame.length));
  result.ok = true;
  return result;
}

CommandResult UnpackCommand(const WordList& words, std::span<const std::uint8_t> frames) {
  CommandResult result;
  std::vector<std::uint8_t> source(kMaxUnpackedBlock);
  std::vector<std::uint8_t> out(kMaxUnpackedBlock);
  std::size_t pos = 0;
  std::size_t index = 0;
  FrameView view;
  while (pos < frames.size()) {
    const std::span<const std::uint8_t> rest = frames.subspan(pos);
    if (!PeekFrame(rest, view)) {
      result.error = "frame " + std::to_string(index) + " at byte " + std::to_string(pos) + " is truncated (" +
                     std::to_string(rest.size()) + " bytes left)";
      return result;
    }
    const bool stages = (view.flags & (tfDeflate | tfWords)) != 0;
    if (view.payload_length > 0 || stages) {
      std::copy_n(rest.begin() + static_cast<long>(view.payload_offset), view.payload_length, source.begin());
      const int n = WordCompress::UnpackBlock(words, source.data(), view.escape, view.flags, view.payload_length,
                                              out.data());
      if (n <= 0) {
        result.error = "frame " + std::to_string(index) + " at byte " + std::to_string(pos) +
                       (n < 0 ? " names a word past the end of the list" : " does not unpack (damaged deflate data)");
        return result;
      }
      result.output.insert(result.output.end(), out.begin(), out.begin() + n);
    }
    pos += view.frame_length;
    ++index;
  }
  result.ok = true;
  return result;
}

std::string EscapeWord(std::string_view word) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (const char c : word) {
    const auto b = static_cast<unsigned char>(c);
    switch (b) {
      case '\r': text += "\\r"; break;
      case '\n': text += "\\n"; break;
      case '\t': text += "\\t"; break;
      case '\\': text += "\\\\"; break;
      default:
        if (b >= 0x20 && b < 0x7F) {
          text += c;
        } else {
          text += "\\x";
          text += kHex[b >> 4];
          text += kHex[b & 15];
        }
    }
  }
  return text;
}

std::string DumpWordList(const WordList& words) {
  std::string text = "version " + std::to_string(words.version()) + "\n";
  for (const std::string& w : words.words()) text += EscapeWord(w) + "\n";
  return text;
}

}  // namespace korvan
