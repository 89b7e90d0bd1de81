// Vectors made by an independent implementation of the block codec.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/support/test_paths.h"
#include "wire/frame_reader.h"
#include "wire/word_compress.h"
#include "wire/word_list.h"

namespace korvan {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::filesystem::path VectorDir() { return test::TestDataDir() / "vectors"; }

WordListPtr VectorWords() {
  std::string error;
  WordListPtr words = LoadWordList(VectorDir() / "words.lvk", &error);
  EXPECT_NE(words, nullptr) << error;
  return words;
}

std::string Name(int i) {
  const char digits[3] = {static_cast<char>('0' + i / 10), static_cast<char>('0' + i % 10), 0};
  return digits;
}

// Unpacks the payload of `frame`, which must hold exactly one whole frame.
int UnpackWholeFrame(const WordList& words, const Bytes& frame, Bytes& out) {
  FrameView view;
  if (!PeekFrame(frame, view) || view.frame_length != frame.size()) {
    ADD_FAILURE() << "not exactly one frame";
    return -2;
  }
  return WordCompress::UnpackBlock(words, frame.data() + view.payload_offset, view.escape, view.flags,
                                   view.payload_length, out.data());
}

TEST(CodecVectors, WordsOnlyPackingMatchesByteForByte) {
  const WordListPtr words = VectorWords();
  ASSERT_NE(words, nullptr);
  EXPECT_EQ(words->version(), 3);
  for (int i = 0; i <= 16; ++i) {
    SCOPED_TRACE("pack/" + Name(i));
    const Bytes raw = test::ReadFileBytes(VectorDir() / "pack" / (Name(i) + ".raw"));
    const Bytes expected = test::ReadFileBytes(VectorDir() / "pack" / (Name(i) + ".words"));
    Bytes out(raw.size() + 1);
    std::uint8_t flags = tfWords;
    std::uint8_t escape = 0;
    const std::size_t n = WordCompress::PackBlock(*words, raw.data(), raw.size(), flags, escape, out.data());
    EXPECT_EQ(flags, expected[0]);
    EXPECT_EQ(escape, expected[1]);
    ASSERT_EQ(n, expected.size() - 2);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<long>(n), expected.begin() + 2));
  }
}

TEST(CodecVectors, FullPackingTakesTheSameDecisionsAndInflatesToTheWordsBlock) {
  const WordListPtr words = VectorWords();
  ASSERT_NE(words, nullptr);
  for (int i = 0; i <= 16; ++i) {
    SCOPED_TRACE("pack/" + Name(i));
    const Bytes raw = test::ReadFileBytes(VectorDir() / "pack" / (Name(i) + ".raw"));
    const Bytes words_only = test::ReadFileBytes(VectorDir() / "pack" / (Name(i) + ".words"));
    const Bytes decision = test::ReadFileBytes(VectorDir() / "pack" / (Name(i) + ".full-flags"));
    Bytes out(raw.size() + 1);
    std::uint8_t flags = tfDeflate | tfWords;
    std::uint8_t escape = 0;
    const std::size_t n = WordCompress::PackBlock(*words, raw.data(), raw.size(), flags, escape, out.data());
    // The deflated length depends on the zlib build; tfShortLength follows it.
    EXPECT_EQ(flags & ~tfShortLength, decision[0] & ~tfShortLength);
    EXPECT_EQ(escape, decision[1]);
    EXPECT_EQ((flags & tfShortLength) != 0, n <= 255);
    if (flags & tfDeflate) {
      // Inflating alone (no word expansion) must give the words-only block.
      Bytes inflated(kMaxUnpackedBlock);
      const int m = WordCompress::UnpackBlock(*words, out.data(), escape, tfDeflate, n, inflated.data());
      const Bytes expect_block = (flags & tfWords) ? Bytes(words_only.begin() + 2, words_only.end()) : raw;
      ASSERT_EQ(static_cast<std::size_t>(m), expect_block.size());
      EXPECT_TRUE(std::equal(expect_block.begin(), expect_block.end(), inflated.begin()));
    }
    Bytes back(kMaxUnpackedBlock);
    const int m = WordCompress::UnpackBlock(*words, out.data(), escape, flags, n, back.data());
    ASSERT_EQ(static_cast<std::size_t>(m), raw.size());
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), back.begin()));
  }
}

TEST(CodecVectors, EveryFrameUnpacksToItsOutput) {
  const WordListPtr words = VectorWords();
  ASSERT_NE(words, nullptr);
  for (int i = 0; i <= 15; ++i) {
    SCOPED_TRACE("unpack/" + Name(i));
    const Bytes frame = test::ReadFileBytes(VectorDir() / "unpack" / (Name(i) + ".frame"));
    const Bytes expected = test::ReadFileBytes(VectorDir() / "unpack" / (Name(i) + ".out"));
    Bytes out(kMaxUnpackedBlock);
    const int n = UnpackWholeFrame(*words, frame, out);
    ASSERT_EQ(n, static_cast<int>(expected.size()));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));
  }
}

TEST(CodecVectors, TokenPastTheEndOfTheListGivesMinusOne) {
  const WordListPtr words = VectorWords();
  ASSERT_NE(words, nullptr);
  const Bytes frame = test::ReadFileBytes(VectorDir() / "unpack" / "bad-index.frame");
  Bytes out(kMaxUnpackedBlock);
  EXPECT_EQ(UnpackWholeFrame(*words, frame, out), -1);
}

}  // namespace
}  // namespace korvan
