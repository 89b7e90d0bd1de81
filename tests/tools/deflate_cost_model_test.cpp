#include "tools/word_list/deflate_cost_model.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace korvan::word_list {
namespace {

// Text with the statistics of markup: a few hundred distinct words in
// varying order, so that deflate finds many short and some long matches.
std::string MarkupText(std::size_t size, std::uint32_t seed) {
  static const char* const kParts[] = {"<div class=\"", "item", "\">", "</div>\n", "<a href=\"/", "page", "\">",
                                       "</a>", " the ", "data-", "id=\"", "nav", "<span>", "</span>", "main"};
  std::mt19937 random(seed);
  std::string text;
  while (text.size() < size) {
    text += kParts[random() % std::size(kParts)];
    if (random() % 4 == 0) text += std::to_string(random() % 1000);
  }
  text.resize(size);
  return text;
}

std::vector<double> Costs(const std::string& block) {
  std::vector<double> cost(block.size(), -1.0);
  DeflateCosts(reinterpret_cast<const std::uint8_t*>(block.data()), block.size(), cost.data());
  return cost;
}

double Sum(const std::vector<double>& cost, std::size_t from, std::size_t to) {
  return std::accumulate(cost.begin() + static_cast<long>(from), cost.begin() + static_cast<long>(to), 0.0);
}

std::size_t Zlib9(const std::string& block) {
  uLongf room = compressBound(static_cast<uLong>(block.size()));
  std::vector<Bytef> out(room);
  compress2(out.data(), &room, reinterpret_cast<const Bytef*>(block.data()), static_cast<uLong>(block.size()), 9);
  return room;
}

TEST(DeflateCostModel, ExtraBitsFollowTheDeflateTables) {
  // Base lengths of the length codes 257..285 and their extra bits.
  const int length_base[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                             31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
  const int length_extra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
  for (std::size_t code = 0; code < std::size(length_base); ++code) {
    const int end = code + 1 < std::size(length_base) ? length_base[code + 1] : 259;
    for (int length = length_base[code]; length < end; ++length) {
      EXPECT_EQ(LengthExtraBits(static_cast<std::size_t>(length)), length_extra[code]) << "length " << length;
    }
  }
  // Distance codes 0..29: two codes per number of extra bits from code 4 on.
  int base = 1;
  for (int code = 0; code < 30; ++code) {
    const int extra = code < 4 ? 0 : code / 2 - 1;
    for (int distance = base; distance < base + (1 << extra); ++distance) {
      ASSERT_EQ(DistanceExtraBits(static_cast<std::size_t>(distance)), extra) << "distance " << distance;
    }
    base += 1 << extra;
  }
  EXPECT_EQ(base, 32769);
}

TEST(DeflateCostModel, TotalComesCloseToZlib) {
  for (const std::size_t size : {std::size_t{2000}, std::size_t{20000}, std::size_t{64511}}) {
    const std::string block = MarkupText(size, static_cast<std::uint32_t>(size));
    const std::vector<double> cost = Costs(block);
    const double estimate = Sum(cost, 0, cost.size());
    const auto real = static_cast<double>(Zlib9(block));
    // A greedy parse with estimated code lengths, against zlib's lazy one:
    // close on real traffic, within a quarter on this text of many short
    // matches. Wrong units or a lost match would be far off.
    EXPECT_GT(estimate, 0.8 * real) << size << " bytes";
    EXPECT_LT(estimate, 1.25 * real) << size << " bytes";
  }
}

TEST(DeflateCostModel, EveryByteGetsAPlausibleCost) {
  std::mt19937 random(5);
  std::string noise(5000, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  for (const std::string& block : {MarkupText(10000, 1), noise, std::string(3000, 'x')}) {
    for (const double c : Costs(block)) ASSERT_TRUE(c > 0.0 && c <= 15.0 / 8) << c;  // codes of 1 to 15 bits
  }
  // Bytes without repeats cost about their 8 bits each.
  EXPECT_NEAR(Sum(Costs(noise), 0, noise.size()) / static_cast<double>(noise.size()), 1.0, 0.1);
}

TEST(DeflateCostModel, RepeatsCostLittleAndLessWhenNear) {
  const std::string phrase = "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">";
  std::mt19937 random(8);
  std::string filler(20000, '\0');
  for (char& c : filler) c = static_cast<char>('a' + random() % 26);
  // The phrase, then again at once, then again 20000 bytes later.
  const std::string block = phrase + phrase + filler + phrase;
  const std::vector<double> cost = Costs(block);
  const double first = Sum(cost, 0, phrase.size());
  const double near = Sum(cost, phrase.size(), 2 * phrase.size());
  const double far = Sum(cost, block.size() - phrase.size(), block.size());
  EXPECT_LT(near, 0.1 * first);
  EXPECT_LT(near, far);  // the far match needs more distance bits
  EXPECT_LT(far, 0.2 * first);
}

TEST(DeflateCostModel, GainAndWeight) {
  // A token pays for text that costs more than the token, and loses below.
  EXPECT_DOUBLE_EQ(OccurrenceGain(1.0, kTokenCost), 0.0);
  EXPECT_GT(OccurrenceGain(1.0, kTokenCost + 1), 0.0);
  EXPECT_LT(OccurrenceGain(1.0, kTokenCost - 1), 0.0);
  EXPECT_DOUBLE_EQ(OccurrenceGain(0.5, 10.0), 0.5 * OccurrenceGain(1.0, 10.0));
  // Weight 1 at the reference size; smaller blocks weigh more, by less than
  // their size; a source's documents share it.
  EXPECT_DOUBLE_EQ(BlockWeight(kReferenceSize, 1), 1.0);
  EXPECT_GT(BlockWeight(100, 1), BlockWeight(1000, 1));
  EXPECT_GT(BlockWeight(1000, 1), BlockWeight(10000, 1));
  EXPECT_LT(BlockWeight(100, 1), 10 * BlockWeight(1000, 1));
  EXPECT_DOUBLE_EQ(BlockWeight(500, 4), BlockWeight(500, 1) / 4);
  // An (estimated) empty block weighs as a one-byte block, not infinitely.
  EXPECT_DOUBLE_EQ(BlockWeight(0, 1), BlockWeight(1, 1));
}

}  // namespace
}  // namespace korvan::word_list
