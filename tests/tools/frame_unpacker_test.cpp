#include "tools/codec/frame_unpacker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>

#include "tests/tools/codec_test_frames.h"
#include "wire/frame_format.h"

namespace korvan {
namespace {

using test::Bytes;
using test::Capture;

// Unpacks `capture` fed in the pieces cut at `cuts` (rising offsets).
struct Outcome {
  bool ok = false;
  Bytes out;
  std::string error;
  std::size_t frames = 0;
  std::size_t sink_calls = 0;
};

Outcome Unpack(const Bytes& capture, const std::vector<std::size_t>& cuts) {
  Outcome run;
  FrameUnpacker unpacker(test::CodecTestWords(), [&](std::span<const std::uint8_t> bytes) {
    run.out.insert(run.out.end(), bytes.begin(), bytes.end());
    ++run.sink_calls;
    return true;
  });
  const std::span<const std::uint8_t> all(capture);
  std::size_t from = 0;
  run.ok = true;
  for (const std::size_t cut : cuts) {
    run.ok = run.ok && unpacker.Feed(all.subspan(from, cut - from));
    from = cut;
  }
  run.ok = run.ok && unpacker.Feed(all.subspan(from)) && unpacker.Finish();
  run.error = unpacker.error();
  run.frames = unpacker.frames();
  return run;
}

TEST(FrameUnpacker, MixedCaptureHoldsEveryKindOfFrame) {
  const Capture c = test::MixedCapture();
  ASSERT_EQ(c.starts.size(), 7U);
  auto flags = [&](std::size_t k) { return c.bytes[c.starts[k]]; };
  EXPECT_TRUE(flags(0) & tfShortLength);
  EXPECT_FALSE(flags(1) & tfShortLength);
  EXPECT_EQ(flags(1) & (tfDeflate | tfWords), tfDeflate | tfWords);
  EXPECT_EQ(c.starts[3] - c.starts[2], 3U);  // header and escape byte only
  EXPECT_EQ(flags(3) & (tfWords | tfEscape | tfDeflate), tfWords | tfEscape);
  EXPECT_EQ(flags(5) & (tfDeflate | tfWords), tfDeflate);
}

TEST(FrameUnpacker, InputSplitAtEveryByteGivesTheSamePayloads) {
  const Capture c = test::MixedCapture();
  for (std::size_t cut = 0; cut <= c.bytes.size(); ++cut) {
    const Outcome run = Unpack(c.bytes, {cut});
    ASSERT_TRUE(run.ok) << "cut at " << cut << ": " << run.error;
    ASSERT_EQ(run.out, c.unpacked) << "cut at " << cut;
    ASSERT_EQ(run.frames, 6U);
  }
  // And one byte at a time.
  std::vector<std::size_t> every(c.bytes.size());
  for (std::size_t k = 0; k < every.size(); ++k) every[k] = k;
  const Outcome run = Unpack(c.bytes, every);
  EXPECT_TRUE(run.ok) << run.error;
  EXPECT_EQ(run.out, c.unpacked);
}

TEST(FrameUnpacker, EveryCutShortCaptureIsTruncatedWhereItsLastFrameStarts) {
  const Capture c = test::MixedCapture();
  for (std::size_t length = 0; length < c.bytes.size(); ++length) {
    const Bytes prefix(c.bytes.begin(), c.bytes.begin() + static_cast<long>(length));
    const Outcome run = Unpack(prefix, {length / 2});
    // The frames that end inside the prefix, and where the next one starts.
    const auto after = std::upper_bound(c.starts.begin(), c.starts.end(), length);
    const std::size_t whole = static_cast<std::size_t>(after - c.starts.begin()) - 1;
    const std::size_t start = c.starts[whole];
    EXPECT_EQ(run.frames, whole) << "length " << length;
    if (start == length) {
      EXPECT_TRUE(run.ok) << "length " << length << ": " << run.error;
    } else {
      EXPECT_FALSE(run.ok);
      EXPECT_EQ(run.error, "frame " + std::to_string(whole) + " at byte " + std::to_string(start) +
                               " is truncated (" + std::to_string(length - start) + " bytes left)");
    }
    // What the whole frames unpacked to is out, and nothing of the rest.
    EXPECT_EQ(run.out, Bytes(c.unpacked.begin(), c.unpacked.begin() + static_cast<long>(c.unpacked_at[whole])));
  }
}

TEST(FrameUnpacker, LargeCapturesGoThroughInBoundedChunks) {
  // More frames than the input buffer holds, so it moves partial frames to
  // its front, and more output than one chunk.
  const Capture c = test::LargeCapture(100);
  ASSERT_GT(c.bytes.size(), std::size_t{2} << 20);
  // Pieces of awkward sizes, some larger than the input buffer.
  std::vector<std::size_t> cuts;
  const std::size_t steps[] = {1, 7, 4096, 65538, 1 << 20, 3 << 20, 99};
  for (std::size_t at = 0, k = 0; at < c.bytes.size(); at += steps[k++ % std::size(steps)]) cuts.push_back(at);
  const Outcome run = Unpack(c.bytes, cuts);
  ASSERT_TRUE(run.ok) << run.error;
  EXPECT_EQ(run.out, c.unpacked);
  // Output leaves in chunks of up to about a megabyte, not frame by frame.
  EXPECT_LE(run.sink_calls, 10U);
  EXPECT_GE(run.sink_calls, 2U);
}

TEST(FrameUnpacker, StopsWhenTheSinkRefuses) {
  const Capture c = test::LargeCapture(6);
  std::size_t calls = 0;
  FrameUnpacker unpacker(test::CodecTestWords(), [&](std::span<const std::uint8_t>) { return ++calls < 2; });
  const std::span<const std::uint8_t> all(c.bytes);
  // Frame by frame: each one's payload goes out before the next arrives.
  EXPECT_TRUE(unpacker.Feed(all.subspan(0, c.starts[1])));
  EXPECT_FALSE(unpacker.Feed(all.subspan(c.starts[1], c.starts[2] - c.starts[1])));
  EXPECT_TRUE(unpacker.sink_failed());
  EXPECT_FALSE(unpacker.error().empty());
  EXPECT_EQ(calls, 2U);
  // It stays stopped.
  EXPECT_FALSE(unpacker.Feed(all.subspan(c.starts[2])));
  EXPECT_FALSE(unpacker.Finish());
  EXPECT_EQ(calls, 2U);
}

}  // namespace
}  // namespace korvan
