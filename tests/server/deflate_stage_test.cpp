// The server's own deflate encoder: whatever level it runs at, the client's
// unpacking must give back the exact bytes, and the thorough levels must
// earn their CPU with smaller frames than zlib's best.
#include <gtest/gtest.h>

#include <random>

#include "server/deflate_stage.h"
#include "server/server_options.h"
#include "tests/server/origins.h"
#include "wire/frame_format.h"
#include "wire/frame_reader.h"
#include "wire/frame_writer.h"
#include "wire/word_compress.h"

namespace korvan::server::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::shared_ptr<const WordList> Words() {
  return std::make_shared<const WordList>(
      1, std::vector<std::string>{"Content-Type: text/html\r\n", "<div class=\"", "</div>", "href=\"", "<html>"});
}

Bytes Unpack(const WordList& words, const Bytes& frame) {
  FrameView view;
  EXPECT_TRUE(PeekFrame(frame, view));
  EXPECT_EQ(view.frame_length, frame.size());
  Bytes source(frame.begin() + static_cast<long>(view.payload_offset), frame.end());
  source.resize(std::max<std::size_t>(source.size(), 1));
  Bytes out(kMaxUnpackedBlock);
  const int n = WordCompress::UnpackBlock(words, source.data(), view.escape, view.flags, view.payload_length,
                                          out.data());
  EXPECT_GT(n, 0);
  out.resize(static_cast<std::size_t>(std::max(n, 0)));
  return out;
}

TEST(DeflateStage, EveryLevelRoundTripsThroughTheClientsUnpacking) {
  const auto words = Words();
  const std::string html = SampleHtml();
  std::mt19937 random(7);
  std::vector<Bytes> blocks = {Bytes(html.begin(), html.end()), Bytes(kMaxRawBlock, 'a'), Bytes{'x'}};
  Bytes noise(kMaxRawBlock);
  for (auto& b : noise) b = static_cast<std::uint8_t>(random());
  blocks.push_back(noise);  // does not shrink: travels as it is
  for (auto& block : blocks) block.resize(std::min(block.size(), kMaxRawBlock));
  for (int level = 1; level <= 12; ++level) {
    for (const Bytes& block : blocks) {
      const Bytes frame = PackFrame(*words, block, tfDeflate | tfWords, false, &ThreadDeflateStage(level));
      EXPECT_EQ(Unpack(*words, frame), block) << "level " << level << ", " << block.size() << " bytes";
    }
  }
}

TEST(DeflateStage, TheDefaultLevelBeatsZlibsBestOnMarkup) {
  const auto words = Words();
  std::string text;
  while (text.size() < kMaxRawBlock) text += SampleHtml();
  const Bytes block(text.begin(), text.begin() + static_cast<long>(kMaxRawBlock));
  const Bytes zlib = PackFrame(*words, block);
  const Bytes thorough = PackFrame(*words, block, tfDeflate | tfWords, false, &ThreadDeflateStage(kDefaultDeflateLevel));
  EXPECT_LT(thorough.size(), zlib.size());
  EXPECT_EQ(Unpack(*words, thorough), block);
}

TEST(DeflateStage, LevelsOutsideOneToTwelveAreRefused) {
  EXPECT_THROW(ThreadDeflateStage(0), std::invalid_argument);
  EXPECT_THROW(ThreadDeflateStage(13), std::invalid_argument);
  EXPECT_EQ(&ThreadDeflateStage(5), &ThreadDeflateStage(5)) << "one encoder per level and thread";
}

}  // namespace
}  // namespace korvan::server::test
