#include "wire/frame_reader.h"

#include <algorithm>
#include <cstring>

namespace korvan {

void ReceiveBuffer::Append(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  const std::span<std::uint8_t> room = AppendSpace(bytes.size());
  std::memcpy(room.data(), bytes.data(), bytes.size());
  CommitAppend(bytes.size());
}

std::span<std::uint8_t> ReceiveBuffer::AppendSpace(std::size_t count) {
  const std::size_t held = size();
  if (start_ > 0 && end_ + count > capacity_) {
    // Shift the held bytes down before growing: the consumed front is free.
    if (held > 0) std::memmove(storage_.get(), storage_.get() + start_, held);
    start_ = 0;
    end_ = held;
  }
  if (end_ + count > capacity_) {
    const std::size_t capacity = std::max(end_ + count, capacity_ + capacity_ / 2);
    auto grown = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
    if (held > 0) std::memcpy(grown.get(), storage_.get() + start_, held);
    storage_ = std::move(grown);
    capacity_ = capacity;
    start_ = 0;
    end_ = held;
  }
  return {storage_.get() + end_, count};
}

void ReceiveBuffer::CommitAppend(std::size_t count) { end_ = std::min(end_ + count, capacity_); }

void ReceiveBuffer::Consume(std::size_t count) {
  start_ += std::min(count, size());
  if (start_ == end_) Clear();
}

void ReceiveBuffer::Release() {
  storage_.reset();
  capacity_ = start_ = end_ = 0;
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
