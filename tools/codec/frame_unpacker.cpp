#include "tools/codec/frame_unpacker.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "wire/frame_format.h"
#include "wire/frame_reader.h"
#include "wire/word_compress.h"

namespace korvan {
namespace {

// Input room: what is left after the whole frames are cut is the start of
// one frame (at most 4 + 65535 bytes), so once that is moved to the front,
// at least kMinInputSpace bytes are free.
constexpr std::size_t kInputCapacity = 1024 * 1024;
constexpr std::size_t kMinInputSpace = 64 * 1024;
static_assert(kInputCapacity - kMaxFrameHeader - kMaxUnpackedBlock >= kMinInputSpace);
// Unpacked bytes gather up to this much before they go to the sink, with
// room behind for one more payload.
constexpr std::size_t kOutputChunk = 1024 * 1024;
constexpr std::size_t kOutputCapacity = kOutputChunk + kMaxUnpackedBlock;

}  // namespace

FrameUnpacker::FrameUnpacker(const WordList& words, Sink sink)
    : words_(words),
      sink_(std::move(sink)),
      input_(std::make_unique_for_overwrite<std::uint8_t[]>(kInputCapacity)),
      output_(std::make_unique_for_overwrite<std::uint8_t[]>(kOutputCapacity)) {}

std::span<std::uint8_t> FrameUnpacker::InputSpace() {
  if (kInputCapacity - input_end_ < kMinInputSpace) {
    // Only the start of one frame is left: move it to the front.
    std::memmove(input_.get(), input_.get() + input_start_, input_end_ - input_start_);
    input_end_ -= input_start_;
    input_start_ = 0;
  }
  return {input_.get() + input_end_, kInputCapacity - input_end_};
}

bool FrameUnpacker::Received(std::size_t count) {
  if (!error_.empty()) return false;
  input_end_ = std::min(input_end_ + count, kInputCapacity);
  return CutFrames() && Flush();
}

bool FrameUnpacker::Feed(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const std::span<std::uint8_t> room = InputSpace();
    const std::size_t n = std::min(room.size(), bytes.size());
    std::memcpy(room.data(), bytes.data(), n);
    if (!Received(n)) return false;
    bytes = bytes.subspan(n);
  }
  return error_.empty();
}

bool FrameUnpacker::Finish() {
  if (!error_.empty()) return false;
  const std::size_t left = input_end_ - input_start_;
  if (left > 0) {
    return Fail("frame " + std::to_string(index_) + " at byte " + std::to_string(position_) + " is truncated (" +
                std::to_string(left) + " bytes left)");
  }
  return Flush();
}

bool FrameUnpacker::CutFrames() {
  FrameView view;
  while (PeekFrame({input_.get() + input_start_, input_end_ - input_start_}, view)) {
    const bool stages = (view.flags & (tfDeflate | tfWords)) != 0;
    // A frame with neither a stage nor a payload unpacks to nothing.
    if (view.payload_length > 0 || stages) {
      if (output_length_ > kOutputChunk && !Flush()) return false;
      const int n = WordCompress::UnpackBlock(words_, input_.get() + input_start_ + view.payload_offset,
                                              view.escape, view.flags, view.payload_length,
                                              output_.get() + output_length_);
      if (n <= 0) {
        // What the frames before this one unpacked to still goes out.
        if (!Flush()) return false;
        error_ = "frame " + std::to_string(index_) + " at byte " + std::to_string(position_) +
                 (n < 0 ? " names a word past the end of the list" : " does not unpack (damaged deflate data)");
        return false;
      }
      output_length_ += static_cast<std::size_t>(n);
    }
    input_start_ += view.frame_length;
    position_ += view.frame_length;
    ++index_;
  }
  if (input_start_ == input_end_) input_start_ = input_end_ = 0;
  return true;
}

bool FrameUnpacker::Flush() {
  if (output_length_ == 0) return true;
  const std::size_t length = std::exchange(output_length_, 0);
  if (sink_({output_.get(), length})) return true;
  sink_failed_ = true;
  return Fail("cannot pass the unpacked bytes on");
}

bool FrameUnpacker::Fail(const std::string& problem) {
  if (error_.empty()) error_ = problem;
  return false;
}

}  // namespace korvan
