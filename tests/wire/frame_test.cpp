// Frame writing and cutting, and the opening message.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "wire/frame_reader.h"
#include "wire/frame_writer.h"
#include "wire/opening.h"
#include "wire/word_compress.h"

namespace korvan {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

WordList TestWords() { return WordList(4, {"Content-Type: text/html", "\r\n", "<html>", "abc"}); }

// Unpacks a frame as the receiver would.
Bytes UnpackFrame(const WordList& words, std::span<const std::uint8_t> buffered, const FrameView& f) {
  Bytes payload(buffered.begin() + static_cast<long>(f.payload_offset),
                buffered.begin() + static_cast<long>(f.payload_offset + f.payload_length));
  payload.resize(std::max<std::size_t>(payload.size(), 1));
  Bytes out(kMaxUnpackedBlock);
  const int n = WordCompress::UnpackBlock(words, payload.data(), f.escape, f.flags, f.payload_length, out.data());
  EXPECT_GE(n, 0);
  out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return out;
}

TEST(FrameWriter, HeaderFillsBackwardsInFrontOfThePayload) {
  const WordList words = TestWords();
  std::array<std::uint8_t, kFrameBufferSize> buffer{};
  std::int64_t wire = 0;
  std::mt19937 rng(8);
  for (std::size_t n : {1U, 100U, 255U, 256U, 3000U, 64511U}) {
    Bytes raw(n);
    for (auto& b : raw) b = static_cast<std::uint8_t>(rng() % 7 == 0 ? '|' : 'a' + rng() % 3);
    const std::int64_t before = wire;
    const EncodedFrame f = EncodeFrame(words, raw, buffer, wire);
    EXPECT_EQ(wire - before, static_cast<std::int64_t>(f.length));
    FrameView view;
    const std::span<const std::uint8_t> frame(buffer.data() + f.offset, f.length);
    ASSERT_TRUE(PeekFrame(frame, view)) << n;
    EXPECT_EQ(view.frame_length, f.length);
    EXPECT_EQ(view.payload_offset + f.offset, kFrameHeaderRoom);
    EXPECT_EQ((view.flags & tfShortLength) != 0, view.payload_length <= 255);
    EXPECT_EQ(UnpackFrame(words, frame, view), raw);
  }
  EXPECT_THROW(EncodeFrame(words, Bytes{}, buffer, wire), std::invalid_argument);
  EXPECT_THROW(EncodeFrame(words, Bytes(kMaxRawBlock + 1), buffer, wire), std::invalid_argument);
}

TEST(FrameWriter, HandMadeHeaders) {
  EXPECT_EQ(MakeFrameHeader(tfControl, 1), (Bytes{0x0C, 0x01}));
  EXPECT_EQ(MakeFrameHeader(0, 255), (Bytes{0x08, 0xFF}));
  EXPECT_EQ(MakeFrameHeader(tfShortLength, 256), (Bytes{0x00, 0x00, 0x01}));
  EXPECT_EQ(MakeFrameHeader(tfWords | tfEscape, 300, '!'), (Bytes{0x50, 0x2C, 0x01, '!'}));
  EXPECT_EQ(MakeFrameHeader(tfWords | tfEscape, 3, '!'), (Bytes{0x58, 0x03, '!'}));
}

struct Collected {
  std::vector<FrameView> frames;
  std::vector<Bytes> payloads;
};

FrameHandler Collect(Collected& c, int close_after = -1) {
  return [&c, close_after](const ReceiveBuffer& buffer, const FrameView& f) {
    c.frames.push_back(f);
    const auto d = buffer.data();
    c.payloads.emplace_back(d.begin() + static_cast<long>(f.payload_offset),
                            d.begin() + static_cast<long>(f.payload_offset + f.payload_length));
    return static_cast<int>(c.frames.size()) == close_after ? FrameVerdict::kClose : FrameVerdict::kContinue;
  };
}

TEST(FrameReader, SmallestFramesAndTheThreeByteRule) {
  // 0C 01 6B is complete; a two-byte frame waits for a third byte.
  ReceiveBuffer rx;
  Collected c;
  rx.Append(kAccountInfoRequest);
  EXPECT_EQ(DecodeFrames(rx, Collect(c)), FrameVerdict::kContinue);
  ASSERT_EQ(c.frames.size(), 1U);
  EXPECT_EQ(c.frames[0].flags, 0x0C);
  EXPECT_EQ(c.payloads[0], Bytes{0x6B});
  EXPECT_TRUE(rx.empty());

  rx.Append(Bytes{tfShortLength, 0});
  DecodeFrames(rx, Collect(c));
  EXPECT_EQ(c.frames.size(), 1U);
  rx.Append(Bytes{tfShortLength});
  DecodeFrames(rx, Collect(c));
  ASSERT_EQ(c.frames.size(), 2U);
  EXPECT_EQ(c.frames[1].payload_length, 0U);
  EXPECT_EQ(rx.size(), 1U);

  // A two-byte length with only three bytes buffered is not read yet.
  ReceiveBuffer rx2;
  Collected c2;
  rx2.Append(Bytes{0x00, 0x00, 0x00});
  DecodeFrames(rx2, Collect(c2));
  EXPECT_TRUE(c2.frames.empty());
  rx2.Append(Bytes{0x08});
  DecodeFrames(rx2, Collect(c2));
  ASSERT_EQ(c2.frames.size(), 1U);
  EXPECT_EQ(c2.frames[0].frame_length, 3U);
}

TEST(FrameReader, HeaderSizesAndEscapeByte) {
  ReceiveBuffer rx;
  Collected c;
  Bytes stream = MakeFrame(tfWords | tfEscape, Bytes(300, 'x'), '!');  // 4-byte header
  const Bytes second = MakeFrame(0, Bytes{'h', 'i'});                     // 2-byte header
  stream.insert(stream.end(), second.begin(), second.end());
  rx.Append(stream);
  DecodeFrames(rx, Collect(c));
  ASSERT_EQ(c.frames.size(), 2U);
  EXPECT_EQ(c.frames[0].payload_offset, 4U);
  EXPECT_EQ(c.frames[0].escape, '!');
  EXPECT_EQ(c.frames[0].payload_length, 300U);
  EXPECT_EQ(c.frames[1].payload_offset, 2U);
  EXPECT_EQ(c.frames[1].escape, kDefaultEscape);
  EXPECT_EQ(c.payloads[1], ToBytes("hi"));
}

TEST(FrameReader, EverySplitOfAStreamGivesTheSameFrames) {
  const WordList words = TestWords();
  std::mt19937 rng(21);
  Bytes stream;
  std::vector<Bytes> sent;
  for (int i = 0; i < 12; ++i) {
    Bytes raw(1 + rng() % (i % 3 == 0 ? 2000 : 200));
    for (auto& b : raw) b = static_cast<std::uint8_t>("abc|\r\nhtml<>"[rng() % 12]);
    sent.push_back(raw);
    const Bytes frame = PackFrame(words, raw);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  for (int trial = 0; trial < 200; ++trial) {
    ReceiveBuffer rx;
    std::vector<Bytes> got;
    const FrameHandler handler = [&](const ReceiveBuffer& b, const FrameView& f) {
      got.push_back(UnpackFrame(words, b.data(), f));
      return FrameVerdict::kContinue;
    };
    std::size_t pos = 0;
    while (pos < stream.size()) {
      // Pieces of 1 byte up to several frames at once.
      const std::size_t piece = trial == 0 ? 1 : 1 + rng() % (trial % 2 ? 7 : 5000);
      const std::size_t n = std::min(piece, stream.size() - pos);
      rx.Append(std::span<const std::uint8_t>(stream.data() + pos, n));
      pos += n;
      DecodeFrames(rx, handler);
    }
    ASSERT_EQ(got, sent) << "trial " << trial;
    EXPECT_TRUE(rx.empty());
  }
}

TEST(FrameReader, CloseStopsAtThatFrame) {
  ReceiveBuffer rx;
  Collected c;
  Bytes stream;
  for (int i = 0; i < 3; ++i) {
    const Bytes f = MakeFrame(0, Bytes{static_cast<std::uint8_t>('a' + i)});
    stream.insert(stream.end(), f.begin(), f.end());
  }
  rx.Append(stream);
  EXPECT_EQ(DecodeFrames(rx, Collect(c, 2)), FrameVerdict::kClose);
  EXPECT_EQ(c.frames.size(), 2U);
  EXPECT_EQ(rx.size(), 6U);  // the frame that closed and the one behind it
}

TEST(FrameReader, PauseConsumesThatFrameAndResumesWithTheNext) {
  ReceiveBuffer rx;
  Bytes stream;
  for (int i = 0; i < 3; ++i) {
    const Bytes f = MakeFrame(0, Bytes{static_cast<std::uint8_t>('a' + i)});
    stream.insert(stream.end(), f.begin(), f.end());
  }
  rx.Append(stream);
  std::string seen;
  const auto pause_each = [&](const ReceiveBuffer& b, const FrameView& f) {
    seen.push_back(static_cast<char>(b.data()[f.payload_offset]));
    return FrameVerdict::kPause;
  };
  EXPECT_EQ(DecodeFrames(rx, pause_each), FrameVerdict::kPause);
  EXPECT_EQ(seen, "a");
  EXPECT_EQ(rx.size(), 6U);
  EXPECT_EQ(DecodeFrames(rx, pause_each), FrameVerdict::kPause);
  EXPECT_EQ(DecodeFrames(rx, pause_each), FrameVerdict::kPause);
  EXPECT_EQ(DecodeFrames(rx, pause_each), FrameVerdict::kContinue) << "nothing left to cut";
  EXPECT_EQ(seen, "abc");
  EXPECT_TRUE(rx.empty());
}

TEST(FrameReader, TruncatedFramesWaitAndNeverReadPastTheBuffer) {
  const Bytes frame = MakeFrame(tfEscape | tfWords, Bytes(1000, 'q'), '#');
  for (std::size_t cut = 0; cut < frame.size(); ++cut) {
    FrameView v;
    EXPECT_FALSE(PeekFrame(std::span<const std::uint8_t>(frame.data(), cut), v)) << cut;
  }
  FrameView v;
  EXPECT_TRUE(PeekFrame(frame, v));
}

TEST(Opening, LayoutOfTheFifteenBytes) {
  // MD5("demo") = fe01ce2a7fbac8fafaed7c982a04e229
  const LoginBlock login = MakeLoginBlock(100000001, "demo", 3, 0x5A);
  const Bytes expected_login = {0x01, 0xE1, 0xF5, 0x05, 0xFE, 0x01, 0xCE, 0x2A, 0x7F, 3, 0x5A};
  EXPECT_EQ(Bytes(login.begin(), login.end()), expected_login);
  const std::uint8_t picture = MakePictureCompressionByte(15, 7);
  EXPECT_EQ(picture, 0xF7);
  EXPECT_EQ(MakeServiceByte(Protocol::kSocks4, 3), 0x32);
  EXPECT_EQ(MakeServiceByte(Protocol::kAccountQuery, 0), 0x04);

  const Bytes opening = BuildOpening(login, picture, kFilterBlockFlash | kFilter468x60, 0x32, false);
  ASSERT_EQ(opening.size(), kOpeningSize);
  EXPECT_EQ(opening[11], 0xF7);
  EXPECT_EQ(opening[12], 0x01);
  EXPECT_EQ(opening[13], 0x80);
  EXPECT_EQ(opening[14], 0x32);

  const Bytes with_request = BuildOpening(login, picture, 0, 0x00, true);
  ASSERT_EQ(with_request.size(), 18U);
  EXPECT_EQ(Bytes(with_request.begin() + 15, with_request.end()), (Bytes{0x0C, 0x01, 0x6B}));

  const auto fields = ParseOpening(opening);
  ASSERT_TRUE(fields.has_value());
  EXPECT_EQ(fields->user_id, 100000001);
  EXPECT_EQ(fields->password_digest, PasswordDigestPrefix("demo"));
  EXPECT_EQ(fields->word_list_version, 3);
  EXPECT_EQ(fields->protocol(), 2);
  EXPECT_EQ(fields->timeout(), 3);
  EXPECT_EQ(fields->filter_word, kFilterBlockFlash | kFilter468x60);
  EXPECT_FALSE(ParseOpening(std::span<const std::uint8_t>(opening.data(), 14)).has_value());
}

}  // namespace
}  // namespace korvan
