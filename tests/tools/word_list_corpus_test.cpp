#include "tools/word_list/word_list_corpus.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wire/frame_format.h"

namespace korvan::word_list {
namespace {

std::vector<std::string> Strings(const std::vector<std::string_view>& views) { return {views.begin(), views.end()}; }

TEST(WordListCorpus, HeaderDumpsAreCutPerBlock) {
  const std::string a = "HTTP/1.1 200 OK\r\nServer: x\r\n\r\n";
  const std::string b = "HTTP/1.1 404 Not Found\n\n";
  const std::string c = "HTTP/1.0 304 Not Modified\r\n\r\n";
  EXPECT_EQ(Strings(Units(a + b + c)), (std::vector<std::string>{a, b, c}));
  EXPECT_TRUE(IsHeaderDump(a + b));
  // One response, with "HTTP/" in its body: one unit, not a dump.
  const std::string response = a + "<p>HTTP/1.1 is a protocol</p>\r\n\r\nHTTPS";
  EXPECT_EQ(Strings(Units(response)), (std::vector<std::string>{response}));
  EXPECT_FALSE(IsHeaderDump(a));
  EXPECT_FALSE(IsHeaderDump("<html>\r\n\r\nHTTP/1.1 200 OK"));
}

TEST(WordListCorpus, LongDocumentsAreCutIntoTunnelBlocks) {
  const std::string document(2 * kMaxRawBlock + 10, 'q');
  const std::vector<std::string_view> units = Units(document);
  ASSERT_EQ(units.size(), 3U);
  EXPECT_EQ(units[0].size(), kMaxRawBlock);
  EXPECT_EQ(units[1].size(), kMaxRawBlock);
  EXPECT_EQ(units[2].size(), 10U);
  EXPECT_TRUE(Units("").empty());
}

TEST(WordListCorpus, SymbolsKeepRepeatsInsideUnitsAndFreeOfForbiddenBytes) {
  std::string every_byte;
  for (int b = 0; b < 256; ++b) every_byte += static_cast<char>(b);
  const std::vector<std::string> documents{std::string("ab|ab") + '\0' + "ab", "x", every_byte + "ab", "abab"};
  const Corpus corpus = MakeCorpus(documents);
  // "x" is shorter than a word; the unit with all 256 byte values has no
  // escape byte left. Both are left out.
  EXPECT_EQ(corpus.unit_doc, (std::vector<std::int32_t>{0, 3}));
  EXPECT_EQ(corpus.unit_begin, (std::vector<std::int32_t>{0, 9, 14}));
  const std::int32_t a = 'a' + 1;
  const std::int32_t b = 'b' + 1;
  // '|', 0 and each separator are symbols that occur once, above 256.
  const std::vector<std::int32_t> expected{a, b, 257, a, b, 258, a, b, 259, a, b, a, b, 260};
  EXPECT_EQ(corpus.symbols, expected);
  EXPECT_EQ(corpus.upper, 260);
  EXPECT_EQ(corpus.bytes[2], '|');
  EXPECT_EQ(corpus.bytes[8], 0);  // separator
  EXPECT_EQ(corpus.unit_of[8], 0);
  EXPECT_EQ(corpus.unit_of[9], 1);
  // Summed costs grow at every byte and stand still at separators.
  ASSERT_EQ(corpus.cost.size(), corpus.symbols.size() + 1);
  EXPECT_EQ(corpus.cost[0], 0.0);
  for (std::size_t p = 0; p < corpus.symbols.size(); ++p) {
    if (corpus.symbols[p] == 259 || corpus.symbols[p] == 260) {
      EXPECT_EQ(corpus.cost[p + 1], corpus.cost[p]);
    } else {
      EXPECT_GT(corpus.cost[p + 1], corpus.cost[p]) << "position " << p;
    }
  }
  EXPECT_DOUBLE_EQ(corpus.TextCost(3, 2), corpus.cost[5] - corpus.cost[3]);
}

}  // namespace
}  // namespace korvan::word_list
