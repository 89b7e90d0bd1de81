#include "tunnel/data_frames.h"

#include <cmath>

#include "wire/frame_format.h"
#include "wire/word_compress.h"

namespace korvan {

int UnpackDataFrame(const WordList& words, const FrameView& frame, std::span<const std::uint8_t> buffered,
                    std::uint8_t* out) {
  if (frame.payload_offset + frame.payload_length > buffered.size() || frame.payload_length > kMaxUnpackedBlock) {
    return -1;
  }
  // The codec reads the payload where it lies; no copy is needed.
  const int decoded = WordCompress::UnpackBlock(words, buffered.data() + frame.payload_offset, frame.escape,
                                                frame.flags, frame.payload_length, out);
  const bool packed = (frame.flags & (tfDeflate | tfWords)) != 0;
  if (decoded < 0 || (decoded == 0 && packed)) return -1;
  return decoded;
}

int UnpackControlFrame(const WordList& words, const FrameView& frame, std::span<const std::uint8_t> buffered,
                       std::uint8_t* out) {
  if (frame.payload_offset + frame.payload_length > buffered.size() || frame.payload_length > kMaxUnpackedBlock) {
    return -1;
  }
  const int decoded = WordCompress::UnpackBlock(words, buffered.data() + frame.payload_offset, frame.escape,
                                                frame.flags, frame.payload_length, out);
  return decoded < 1 ? -1 : decoded;
}

std::uint32_t FrameEndTick(std::uint32_t now, std::uint32_t start, std::size_t buffered, std::size_t payload) {
  if (buffered == 0) return now;
  const double total = static_cast<double>(buffered);
  const double later_share = (total - static_cast<double>(payload)) / total;
  return now - static_cast<std::uint32_t>(std::lround(later_share * static_cast<double>(now - start)));
}

}  // namespace korvan
