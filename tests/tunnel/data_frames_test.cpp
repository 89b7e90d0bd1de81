// Data frames as the worker handles them on its own thread: unpacking, the
// frames that must close the connection, and their share of the time for
// the statistics.
#include <gtest/gtest.h>

#include <cmath>

#include "tunnel/data_frames.h"
#include "tunnel/worker_messages.h"
#include "wire/frame_writer.h"

namespace korvan {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

int Unpack(const WordList& words, const Bytes& buffered, Bytes& out) {
  FrameView view;
  if (!PeekFrame(buffered, view)) return -1000;
  out.assign(kMaxUnpackedBlock, 0);
  const int n = UnpackDataFrame(words, view, buffered, out.data());
  if (n >= 0) out.resize(static_cast<std::size_t>(n));
  return n;
}

TEST(DataFrames, PackedAndRawFramesUnpackToTheirBytes) {
  const WordList words(1, {"<html>", "Content-Type: "});
  const std::string page = "<html>" + std::string(500, 'a') + "</html>";
  Bytes out;
  for (std::uint8_t stages : {std::uint8_t{0}, tfWords, tfDeflate, std::uint8_t(tfDeflate | tfWords)}) {
    Bytes buffered = PackFrame(words, ToBytes(page), stages);
    buffered.resize(buffered.size() + 100, 0x55);  // later bytes behind it are not read
    EXPECT_EQ(Unpack(words, buffered, out), static_cast<int>(page.size())) << int(stages);
    EXPECT_EQ(std::string(out.begin(), out.end()), page);
  }
  Bytes empty = MakeFrame(0, Bytes{});
  empty.push_back(0);  // the cutter needs a third byte to see a frame
  EXPECT_EQ(Unpack(words, empty, out), 0) << "an empty raw frame carries nothing";
}

TEST(DataFrames, DamagedFramesCloseRatherThanDropBytes) {
  const WordList words(1, {"<html>"});
  Bytes out;
  EXPECT_EQ(Unpack(words, MakeFrame(tfDeflate, Bytes{1, 2, 3, 4}), out), -1);    // broken zlib
  EXPECT_EQ(Unpack(words, MakeFrame(tfWords, Bytes{'a', '|', 200}), out), -1);  // index past the list
  // A frame view that claims more than the buffer holds is refused, not read.
  FrameView view{tfDeflate, kDefaultEscape, 3, 100, 103};
  const Bytes short_buffer(50, 0);
  out.assign(kMaxUnpackedBlock, 0);
  EXPECT_EQ(UnpackDataFrame(words, view, short_buffer, out.data()), -1);
}

TEST(DataFrames, AFrameGetsItsShareOfTheTimeSinceTheBufferWasEmpty) {
  // Half of the buffered bytes belong to later frames: half the time span.
  EXPECT_EQ(FrameEndTick(10000, 9000, 1000, 500), 9500U);
  // The whole buffer is this frame: it ends now.
  EXPECT_EQ(FrameEndTick(10000, 9000, 600, 600), 10000U);
  EXPECT_EQ(FrameEndTick(10000, 9000, 0, 0), 10000U);
  // Rounded to the nearest tick, and right across the tick's wrap.
  EXPECT_EQ(FrameEndTick(0x00000010U, 0xFFFFFFF0U, 3, 1), 0x00000010U - 21U);
}

TEST(StatusReports, SamplesBeyondTheLimitMergeIntoTheLast) {
  StatusReport report;
  for (std::uint32_t i = 0; i < StatusReport::kMaxSamples + 10; ++i) {
    report.AddSample({i * 10, i * 10 + 5, 1, 1, 0, 0});
  }
  ASSERT_EQ(report.samples.size(), StatusReport::kMaxSamples);
  std::int64_t raw = 0;
  for (const auto& s : report.samples) raw += s.raw_out;
  EXPECT_EQ(raw, static_cast<std::int64_t>(StatusReport::kMaxSamples + 10)) << "no bytes are lost";
  EXPECT_EQ(report.samples.back().start, (StatusReport::kMaxSamples - 1) * 10);
  EXPECT_EQ(report.samples.back().end, (StatusReport::kMaxSamples + 9) * 10 + 5);
}

}  // namespace
}  // namespace korvan
