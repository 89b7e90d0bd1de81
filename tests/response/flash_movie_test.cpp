// The embedded replacement movie must be a well-formed SWF of the agreed form.
#include "resources/flash_movie.h"

#include <gtest/gtest.h>

#include <vector>

namespace korvan {
namespace {

std::uint32_t Le(std::span<const std::uint8_t> bytes, std::size_t at, int width) {
  std::uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | bytes[at + static_cast<std::size_t>(i)];
  return v;
}

// Reads `count` bits, most significant first, from a bit position.
std::uint32_t Bits(std::span<const std::uint8_t> bytes, std::size_t& bit, int count) {
  std::uint32_t v = 0;
  for (int i = 0; i < count; ++i, ++bit) v = (v << 1) | ((bytes[bit / 8] >> (7 - bit % 8)) & 1U);
  return v;
}

TEST(FlashMovie, IsAnUncompressedVersion5MovieOfOneFrame) {
  const auto movie = FlashMovieResource();
  ASSERT_EQ(movie.size(), 1416U);
  EXPECT_EQ(std::string(movie.begin(), movie.begin() + 3), "FWS");
  EXPECT_EQ(movie[3], 5);
  EXPECT_EQ(Le(movie, 4, 4), 1416U);

  std::size_t bit = 8 * 8;
  const int n = static_cast<int>(Bits(movie, bit, 5));
  std::vector<std::uint32_t> stage;
  for (int i = 0; i < 4; ++i) stage.push_back(Bits(movie, bit, n));
  EXPECT_EQ(stage, (std::vector<std::uint32_t>{0, 250 * 20, 0, 250 * 20}));  // twips
  std::size_t at = (bit + 7) / 8;
  EXPECT_EQ(Le(movie, at, 2), 12U << 8);  // 8.8 fixed point
  EXPECT_EQ(Le(movie, at + 2, 2), 1U);

  // The tags run exactly to the end, with one frame shown before the end tag.
  at += 4;
  std::vector<std::uint32_t> codes;
  while (at + 2 <= movie.size()) {
    const std::uint32_t code_and_length = Le(movie, at, 2);
    std::uint32_t length = code_and_length & 0x3F;
    at += 2;
    if (length == 0x3F) {
      ASSERT_LE(at + 4, movie.size());
      length = Le(movie, at, 4);
      at += 4;
    }
    ASSERT_LE(length, movie.size() - at);
    at += length;
    codes.push_back(code_and_length >> 6);
    if (codes.back() == 0) break;
  }
  EXPECT_EQ(at, movie.size());
  ASSERT_GE(codes.size(), 2U);
  EXPECT_EQ(codes[codes.size() - 2], 1U);  // ShowFrame
  EXPECT_EQ(codes.back(), 0U);             // End
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 1U), 1);
}

}  // namespace
}  // namespace korvan
