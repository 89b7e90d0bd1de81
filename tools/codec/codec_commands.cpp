#include "tools/codec/codec_commands.h"

#include "tools/codec/block_io.h"
#include "tools/codec/frame_unpacker.h"
#include "wire/frame_format.h"
#include "wire/frame_writer.h"

namespace korvan {
namespace {

constexpr const char* kCannotRead = "cannot read standard input";
constexpr const char* kCannotWrite = "cannot write standard output";

std::string BlockSizeError(std::size_t size) {
  return "pack takes one block of 1 to 64511 bytes; got " + std::to_string(size);
}

}  // namespace

CommandResult PackCommand(const WordList& words, std::span<const std::uint8_t> raw) {
  CommandResult result;
  if (raw.empty() || raw.size() > kMaxRawBlock) {
    result.error = BlockSizeError(raw.size());
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
  FrameUnpacker unpacker(words, [&](std::span<const std::uint8_t> bytes) {
    result.output.insert(result.output.end(), bytes.begin(), bytes.end());
    return true;
  });
  result.ok = unpacker.Feed(frames) && unpacker.Finish();
  result.error = unpacker.error();
  return result;
}

CommandResult PackStream(const WordList& words, int in, int out) {
  std::vector<std::uint8_t> raw;
  std::size_t total = 0;
  if (!ReadToEnd(in, kMaxRawBlock, raw, total)) return {false, {}, kCannotRead};
  // Past the limit only the count was kept.
  if (total != raw.size()) return {false, {}, BlockSizeError(total)};
  CommandResult result = PackCommand(words, raw);
  if (result.ok && !WriteAll(out, result.output)) return {false, {}, kCannotWrite};
  result.output.clear();
  return result;
}

CommandResult UnpackStream(const WordList& words, int in, int out) {
  FrameUnpacker unpacker(words, [out](std::span<const std::uint8_t> bytes) { return WriteAll(out, bytes); });
  bool ok = true;
  while (ok) {
    const std::span<std::uint8_t> room = unpacker.InputSpace();
    const long n = ReadSome(in, room.data(), room.size());
    if (n < 0) return {false, {}, kCannotRead};
    if (n == 0) break;
    ok = unpacker.Received(static_cast<std::size_t>(n));
  }
  ok = ok && unpacker.Finish();
  if (ok) return {true, {}, {}};
  return {false, {}, unpacker.sink_failed() ? std::string(kCannotWrite) : unpacker.error()};
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
