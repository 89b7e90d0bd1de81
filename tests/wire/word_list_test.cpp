// Word-list files: our own format round trip and damaged files.
#include <gtest/gtest.h>

#include <zlib.h>

#include <fstream>

#include "tests/support/test_paths.h"
#include "wire/word_list.h"

namespace korvan {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes FileFromContent(const Bytes& content, const Bytes& leading = Bytes(16, 0xAB)) {
  uLongf size = compressBound(content.size());
  Bytes file = leading;
  file.resize(16 + size);
  EXPECT_EQ(compress2(file.data() + 16, &size, content.data(), content.size(), 9), Z_OK);
  file.resize(16 + size);
  return file;
}

TEST(WordListFile, SerializeAndParseKeepEveryWord) {
  const WordList list(9, {"ab", std::string(255, 'x'), "Content-Type: text/html\r\n", "\xE8\xF8"});
  const Bytes file = SerializeWordListFile(list);
  const LeadingFieldInfo info = InspectLeadingField(file);
  EXPECT_TRUE(info.ours);
  EXPECT_TRUE(info.checksum_ok);
  std::string error;
  const WordListPtr back = ParseWordListFile(file, &error);
  ASSERT_NE(back, nullptr) << error;
  EXPECT_EQ(back->version(), 9);
  EXPECT_EQ(back->words(), list.words());

  Bytes damaged = file;
  damaged.back() ^= 1;
  EXPECT_FALSE(InspectLeadingField(damaged).checksum_ok);
}

TEST(WordListFile, LeadingFieldIsSkippedWhateverItHolds) {
  const Bytes content = {5, 'a', 'b', 0, 'c', 'd', 'e', 0, 'z', 'z'};  // unterminated "zz" is lost
  const WordListPtr list = ParseWordListFile(FileFromContent(content, Bytes(16, 0xFF)));
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->version(), 5);
  EXPECT_EQ(list->words(), (std::vector<std::string>{"ab", "cde"}));
  EXPECT_FALSE(InspectLeadingField(FileFromContent(content, Bytes(16, 0xFF))).ours);
}

TEST(WordListFile, DamagedFilesAreRefusedWithAReason) {
  std::string error;
  EXPECT_EQ(ParseWordListFile(Bytes(10, 0), &error), nullptr);
  EXPECT_FALSE(error.empty());
  Bytes junk(100, 0x33);
  EXPECT_EQ(ParseWordListFile(junk, &error), nullptr);
  // Words the codec cannot use: empty, one byte, more than 256 of them.
  EXPECT_EQ(ParseWordListFile(FileFromContent({1, 'a', 'b', 0, 0})), nullptr);
  EXPECT_EQ(ParseWordListFile(FileFromContent({1, 'a', 0})), nullptr);
  Bytes many = {1};
  for (int i = 0; i < 257; ++i) many.insert(many.end(), {'w', static_cast<std::uint8_t>(1 + i % 200), 0});
  EXPECT_EQ(ParseWordListFile(FileFromContent(many)), nullptr);
  // Content above 65536 bytes, and a file above 65536 bytes.
  Bytes huge = {1};
  while (huge.size() <= 65536) huge.insert(huge.end(), {'a', 'b', 0});
  EXPECT_EQ(ParseWordListFile(FileFromContent(huge), &error), nullptr);
  EXPECT_NE(error.find("65536"), std::string::npos);
  EXPECT_EQ(ParseWordListFile(Bytes(65537, 0)), nullptr);
  EXPECT_EQ(LoadWordList("/nonexistent/korvan.lvk", &error), nullptr);
  EXPECT_NE(error.find("cannot open"), std::string::npos);
}

TEST(WordListFile, TheVectorListLoads) {
  const WordListPtr list = LoadWordList(test::TestDataDir() / "vectors" / "words.lvk");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->version(), 3);
  EXPECT_GT(list->size(), 0U);
}

}  // namespace
}  // namespace korvan
