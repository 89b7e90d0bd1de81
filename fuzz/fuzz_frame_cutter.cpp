// The frame cutter and the codec behind it over arbitrary server bytes,
// arriving in pieces whose sizes the input also chooses.
#include "fuzz/fuzz_target.h"

#include <cstdint>
#include <span>
#include <vector>

#include "wire/frame_reader.h"
#include "wire/word_compress.h"
#include "wire/word_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const korvan::WordList words(2, {"HTTP/1.1 200 OK\r\n", "ab", "\r\n\r\n"});
  if (size < 1) return 0;
  const std::size_t piece = 1 + data[0] % 64;
  korvan::ReceiveBuffer rx;
  std::vector<std::uint8_t> source(korvan::kMaxUnpackedBlock);
  std::vector<std::uint8_t> out(korvan::kMaxUnpackedBlock);
  std::size_t frames = 0;
  const korvan::FrameHandler handler = [&](const korvan::ReceiveBuffer& b, const korvan::FrameView& f) {
    const auto bytes = b.data();
    if (f.payload_offset + f.payload_length > bytes.size() || f.frame_length > bytes.size()) __builtin_trap();
    std::copy_n(bytes.begin() + static_cast<long>(f.payload_offset), f.payload_length, source.begin());
    const int n = korvan::WordCompress::UnpackBlock(words, source.data(), f.escape, f.flags, f.payload_length,
                                                    out.data());
    ++frames;
    return n < 0 ? korvan::FrameVerdict::kClose : korvan::FrameVerdict::kContinue;
  };
  for (std::size_t pos = 1; pos < size; pos += piece) {
    const std::size_t n = std::min(piece, size - pos);
    rx.Append(std::span<const std::uint8_t>(data + pos, n));
    if (korvan::DecodeFrames(rx, handler) == korvan::FrameVerdict::kClose) break;
  }
  return 0;
}
