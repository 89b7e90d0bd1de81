// What the worker does with each frame from the server, on its own thread:
// unpack it and time it for the statistics. Data frames then go straight to
// the client; control frames, unpacked, cross to the main thread
// (WorkerHost::HandleControlFrame).
//
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "wire/frame_reader.h"
#include "wire/word_list.h"

namespace korvan {

// Unpacks the payload of the data frame `frame`, which lies in `buffered`,
// into `out` (room for kMaxUnpackedBlock bytes). Returns the byte count (0
// for an empty raw frame), or -1 when the connection must close: a word
// index past the list, or packed data that does not unpack (dropping bytes
// from the middle of the client's stream would corrupt it silently).
int UnpackDataFrame(const WordList& words, const FrameView& frame, std::span<const std::uint8_t> buffered,
                    std::uint8_t* out);

// The same for a control frame, which must hold at least its kind byte:
// -1 for one that does not unpack or unpacks to nothing.
int UnpackControlFrame(const WordList& words, const FrameView& frame, std::span<const std::uint8_t> buffered,
                       std::uint8_t* out);

// The end of a frame's span for the statistics: the time since `start` (the
// buffer was last empty) is shared out by the frame's share of the
// `buffered` bytes (the frame and whatever follows it), `payload` of them
// its own.
std::uint32_t FrameEndTick(std::uint32_t now, std::uint32_t start, std::size_t buffered, std::size_t payload);

}  // namespace korvan
