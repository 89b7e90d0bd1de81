#include "server/client_frames.h"

#include "wire/frame_format.h"
#include "wire/frame_reader.h"
#include "wire/word_compress.h"

namespace korvan::server {

ClientFrame TakeClientFrame(const WordList& words, std::span<const std::uint8_t> buffered,
                            std::vector<std::uint8_t>& data, std::uint8_t* scratch) {
  FrameView frame;
  if (!PeekFrame(buffered, frame)) return {};
  ClientFrame result{ClientFrameKind::kBad, frame.frame_length};
  if (frame.payload_length == 0) {
    // Nothing to unpack; an empty control frame names no request.
    result.kind = (frame.flags & tfControl) ? ClientFrameKind::kIgnoredControl : ClientFrameKind::kData;
    return result;
  }
  const int n = WordCompress::UnpackBlock(words, buffered.data() + frame.payload_offset, frame.escape, frame.flags,
                                          frame.payload_length, scratch);
  if (n <= 0) return result;
  if (frame.flags & tfControl) {
    result.kind = scratch[0] == ckAccountInfo ? ClientFrameKind::kAccountInfoRequest : ClientFrameKind::kIgnoredControl;
    return result;
  }
  data.insert(data.end(), scratch, scratch + n);
  result.kind = ClientFrameKind::kData;
  return result;
}

}  // namespace korvan::server
