// Cutting complete frames out of the bytes received from the other end.
//
// The receive buffer holds every byte received and not yet consumed. Frames
// are taken from its front one at a time; an incomplete frame waits there for
// more bytes and is never an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "wire/frame_format.h"

namespace korvan {

// One complete frame, still in the receive buffer while it is handled.
struct FrameView {
  std::uint8_t flags = 0;
  std::uint8_t escape = kDefaultEscape;  // 124 when the frame carries none
  std::size_t payload_offset = 0;        // within ReceiveBuffer::data()
  std::size_t payload_length = 0;
  std::size_t frame_length = 0;          // header + payload
};

// What the frame handler tells the cutter.
// kPause: this frame is done and consumed, but cutting stops here for now.
enum class FrameVerdict { kContinue, kClose, kPause };

// The bytes received and not yet consumed. Consuming from the front moves
// an offset; the bytes are shifted down only when more arrive. Bytes can be
// received straight into the free space at the end (AppendSpace, then
// CommitAppend), so that a read needs no copy; that space is not cleared.
//
// Thread rule: one owner at a time; no internal locking.
class ReceiveBuffer {
 public:
  ReceiveBuffer() = default;
  ReceiveBuffer(ReceiveBuffer&&) noexcept = default;
  ReceiveBuffer& operator=(ReceiveBuffer&&) noexcept = default;

  void Append(std::span<const std::uint8_t> bytes);
  // `count` writable bytes after the held ones, valid until the next call
  // that changes the buffer; CommitAppend(n) then adds the first n of them.
  std::span<std::uint8_t> AppendSpace(std::size_t count);
  void CommitAppend(std::size_t count);

  std::span<const std::uint8_t> data() const { return {storage_.get() + start_, end_ - start_}; }
  std::size_t size() const { return end_ - start_; }
  bool empty() const { return end_ == start_; }
  void Consume(std::size_t count);
  void Clear() { start_ = end_ = 0; }
  // Gives the storage back (an idle connection keeps no big buffer).
  void Release();

 private:
  std::unique_ptr<std::uint8_t[]> storage_;
  std::size_t capacity_ = 0;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};

// Reads the header at the front of `buffered`. Returns false while the frame
// is incomplete: fewer than 3 bytes, only 3 bytes of a frame with a two-byte
// length, or fewer than header + payload bytes.
bool PeekFrame(std::span<const std::uint8_t> buffered, FrameView& frame);

using FrameHandler = std::function<FrameVerdict(const ReceiveBuffer& buffer, const FrameView& frame)>;

// Hands every complete frame at the front of `buffer` to `handler`, in order,
// and removes each after the handler returns. Stops at the first incomplete
// frame, or when the handler says kClose (that frame stays in the buffer) or
// kPause (that frame is removed). Returns the verdict that stopped it.
FrameVerdict DecodeFrames(ReceiveBuffer& buffer, const FrameHandler& handler);

}  // namespace korvan
