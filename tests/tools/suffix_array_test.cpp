#include "tools/word_list/suffix_array.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace korvan::word_list {
namespace {

using Symbols = std::vector<std::int32_t>;

Symbols NaiveSuffixArray(const Symbols& s) {
  Symbols sa(s.size());
  std::iota(sa.begin(), sa.end(), 0);
  std::sort(sa.begin(), sa.end(), [&](std::int32_t a, std::int32_t b) {
    return std::lexicographical_compare(s.begin() + a, s.end(), s.begin() + b, s.end());
  });
  return sa;
}

std::vector<std::uint8_t> NaiveCommonPrefixes(const Symbols& s, const Symbols& sa, std::size_t cap) {
  std::vector<std::uint8_t> lcp(s.size(), 0);
  for (std::size_t i = 1; i < sa.size(); ++i) {
    std::size_t h = 0;
    const auto a = static_cast<std::size_t>(sa[i - 1]);
    const auto b = static_cast<std::size_t>(sa[i]);
    while (a + h < s.size() && b + h < s.size() && s[a + h] == s[b + h]) ++h;
    lcp[i] = static_cast<std::uint8_t>(std::min(h, cap));
  }
  return lcp;
}

std::int32_t Upper(const Symbols& s) { return s.empty() ? 0 : *std::max_element(s.begin(), s.end()); }

Symbols FromText(const std::string& text) {
  Symbols s;
  for (const char c : text) s.push_back(static_cast<unsigned char>(c));
  return s;
}

// Strings that stress the induced sorting: long runs, periods, nested
// repeats (Fibonacci words), strictly falling and rising sequences, and the
// corpus's own shape of bytes with unique separators above 256.
std::vector<Symbols> RepetitiveStrings() {
  std::vector<Symbols> out;
  out.push_back(Symbols(1000, 5));
  out.push_back(FromText(std::string(300, 'a') + "b" + std::string(300, 'a')));
  std::string period2;
  std::string period3;
  for (int i = 0; i < 200; ++i) {
    period2 += "ab";
    period3 += "abc";
  }
  out.push_back(FromText(period2));
  out.push_back(FromText(period3 + "ab"));
  std::string fib_a = "a";
  std::string fib_b = "ab";
  while (fib_b.size() < 2000) fib_a = std::exchange(fib_b, fib_b + fib_a);
  out.push_back(FromText(fib_b));
  Symbols falling(500);
  std::iota(falling.rbegin(), falling.rend(), 0);
  out.push_back(falling);
  Symbols rising(500);
  std::iota(rising.begin(), rising.end(), 0);
  out.push_back(rising);
  Symbols corpus;
  std::int32_t unique = 257;
  for (int unit = 0; unit < 20; ++unit) {
    for (const char c : std::string("Content-Type: text/html\r\n")) corpus.push_back(static_cast<unsigned char>(c) + 1);
    if (unit % 3 == 0) corpus.push_back(unique++);  // a byte 0 or 124 inside the unit
    for (const char c : std::string("Vary: Accept")) corpus.push_back(static_cast<unsigned char>(c) + 1);
    corpus.push_back(unique++);  // the unit's separator
  }
  out.push_back(corpus);
  return out;
}

TEST(SuffixArray, SmallCasesAreInSuffixOrder) {
  EXPECT_TRUE(SuffixArray({}, 0).empty());
  EXPECT_EQ(SuffixArray({7}, 7), (Symbols{0}));
  EXPECT_EQ(SuffixArray({1, 2}, 2), (Symbols{0, 1}));
  EXPECT_EQ(SuffixArray({2, 1}, 2), (Symbols{1, 0}));
  // A suffix that is a prefix of another comes first.
  EXPECT_EQ(SuffixArray({3, 3}, 3), (Symbols{1, 0}));
  EXPECT_EQ(SuffixArray({3, 3, 3}, 3), (Symbols{2, 1, 0}));
  // "banana": a, ana, anana, banana, na, nana.
  EXPECT_EQ(SuffixArray(FromText("banana"), 'n'), (Symbols{5, 3, 1, 0, 4, 2}));
}

TEST(SuffixArray, MatchesANaiveSortOnRandomStrings) {
  std::mt19937 random(1234);
  for (const std::int32_t alphabet : {1, 2, 3, 4, 26, 300}) {
    for (int trial = 0; trial < 60; ++trial) {
      Symbols s(1 + random() % 300);
      for (std::int32_t& v : s) v = static_cast<std::int32_t>(random() % alphabet);
      ASSERT_EQ(SuffixArray(s, Upper(s)), NaiveSuffixArray(s)) << "alphabet " << alphabet << ", trial " << trial;
    }
  }
}

TEST(SuffixArray, MatchesANaiveSortOnRepetitiveStrings) {
  const std::vector<Symbols> strings = RepetitiveStrings();
  for (std::size_t k = 0; k < strings.size(); ++k) {
    EXPECT_EQ(SuffixArray(strings[k], Upper(strings[k])), NaiveSuffixArray(strings[k])) << "string " << k;
  }
}

TEST(CommonPrefixes, MatchNaiveComputationCappedAtTheLimit) {
  std::vector<Symbols> strings = RepetitiveStrings();
  std::mt19937 random(99);
  for (int trial = 0; trial < 40; ++trial) {
    Symbols s(1 + random() % 400);
    for (std::int32_t& v : s) v = static_cast<std::int32_t>(random() % (1 + trial % 4));
    strings.push_back(s);
  }
  for (std::size_t k = 0; k < strings.size(); ++k) {
    const Symbols& s = strings[k];
    const Symbols sa = SuffixArray(s, Upper(s));
    for (const std::size_t cap : {std::size_t{255}, std::size_t{3}}) {
      EXPECT_EQ(CommonPrefixes(s, sa, cap), NaiveCommonPrefixes(s, sa, cap)) << "string " << k << ", cap " << cap;
    }
  }
}

}  // namespace
}  // namespace korvan::word_list
