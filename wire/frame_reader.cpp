#include "wire/frame_reader.h"

#include <cstring>

namespace korvan {

void ReceiveBuffer::Append(std::span<const std::uint8_t> bytes) {
  if (start_ > 0) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

void ReceiveBuffer::Consume(std::size_t count) {
  start_ += count < size() ? count : size();
  if (start_ == bytes_.size()) Clear();
}

void ReceiveBuffer::Clear() {
  bytes_.clear();
  start_ = 0;
}

bool PeekFrame(std::span<const std::uint8_t> buffered, FrameView& frame) {
  if (buffered.size() < 3) return false;
  const std::uint8_t flags = buffered[0];
  std::size_t header = 0;
  std::size_t length = 0;
  if (flags & tfShortLength) {
    length = buffered[1];
    header = 2;
  } else {
    if (buffered.size() < 4) return false;  // the two-byte length is not read yet
    length = static_cast<std::size_t>(buffered[1]) | (static_cast<std::size_t>(buffered[2]) << 8);
    header = 3;
  }
  std::uint8_t escape = kDefaultEscape;
  if (flags & tfEscape) {
    ++header;
    if (buffered.size() < header) return false;
    escape = buffered[header - 1];
  }
  if (buffered.size() < header + length) return false;
  frame = FrameView{flags, escape, header, length, header + length};
  return true;
}

FrameVerdict DecodeFrames(ReceiveBuffer& buffer, const FrameHandler& handler) {
  FrameView frame;
  while (PeekFrame(buffer.data(), frame)) {
    const FrameVerdict verdict = handler(buffer, frame);
    if (verdict == FrameVerdict::kClose) return verdict;
    buffer.Consume(frame.frame_length);
    if (verdict == FrameVerdict::kPause) return verdict;
  }
  return FrameVerdict::kContinue;
}

}  // namespace korvan
