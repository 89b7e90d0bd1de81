// Unpacks a capture of frames as it arrives: whole frames are cut from the
// front of the bytes received so far and their payloads unpacked and handed
// on in large chunks, so that memory stays bounded whatever the capture's
// size (about 2 MiB).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "wire/word_list.h"

namespace korvan {

class FrameUnpacker {
 public:
  // Takes unpacked bytes, in order, in chunks of any size; returns false
  // when they cannot be passed on, which stops the unpacking.
  using Sink = std::function<bool(std::span<const std::uint8_t> bytes)>;

  // `words` must outlive the unpacker.
  FrameUnpacker(const WordList& words, Sink sink);

  // Free room for the next input bytes, to read straight into: at least
  // 64 KiB. Received() then takes what was put there.
  std::span<std::uint8_t> InputSpace();
  // Takes `count` bytes just written into InputSpace(), unpacks every frame
  // they complete and passes the payloads on. False after a frame that does
  // not unpack, or when the sink refused bytes (error() tells which); every
  // call after that fails too.
  bool Received(std::size_t count);
  // Copies `bytes` in and takes them, as Received() does.
  bool Feed(std::span<const std::uint8_t> bytes);
  // At the end of the input: false when the bytes of an incomplete frame
  // are left over.
  bool Finish();

  // Why the last call failed, as one line; empty when none did.
  const std::string& error() const { return error_; }
  // True when the failure was the sink's.
  bool sink_failed() const { return sink_failed_; }
  // Frames unpacked so far.
  std::size_t frames() const { return index_; }

 private:
  bool CutFrames();
  bool Flush();
  bool Fail(const std::string& problem);

  const WordList& words_;
  Sink sink_;
  std::unique_ptr<std::uint8_t[]> input_;
  std::size_t input_start_ = 0;  // first byte not yet cut
  std::size_t input_end_ = 0;    // end of the bytes received
  std::unique_ptr<std::uint8_t[]> output_;
  std::size_t output_length_ = 0;
  std::size_t position_ = 0;     // offset in the capture of input_start_
  std::size_t index_ = 0;        // number of the next frame
  std::string error_;
  bool sink_failed_ = false;
};

}  // namespace korvan
