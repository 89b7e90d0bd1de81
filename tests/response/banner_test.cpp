// The drawn replacement banners: sizes, the placed background picture, the
// saving text, the GIF and the HTTP header around it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "resources/background_picture.h"
#include "response/banner_image.h"
#include "response/banner_response.h"
#include "tests/response/gif_test_files.h"

namespace korvan {
namespace {

constexpr std::uint32_t kWhite = 0xFFFFFFFFu;

// The smallest rectangle holding every pixel that is not white.
PictureRect NonWhiteBounds(const ArgbImage& image) {
  int left = image.width(), top = image.height(), right = -1, bottom = -1;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (image.Pixel(x, y) == kWhite) continue;
      left = std::min(left, x);
      right = std::max(right, x);
      top = std::min(top, y);
      bottom = std::max(bottom, y);
    }
  }
  if (right < 0) return {};
  return PictureRect{left, top, right - left + 1, bottom - top + 1};
}

bool SamePixels(const ArgbImage& a, const ArgbImage& b) {
  if (a.width() != b.width() || a.height() != b.height()) return false;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      if (a.Pixel(x, y) != b.Pixel(x, y)) return false;
    }
  }
  return true;
}

struct SplitResponse {
  std::string header;
  std::string body;
};

SplitResponse Split(const std::vector<std::uint8_t>& response) {
  const std::string text = test::AsText(response);
  const std::size_t end = text.find("\r\n\r\n");
  if (end == std::string::npos) return {};
  return {text.substr(0, end + 4), text.substr(end + 4)};
}

// Sets TZ for one test and puts the old value back.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST(BackgroundPicture, IsThePictureOfSixteenColoursWithADarkFrame) {
  const IndexedPicture picture = BackgroundPictureResource();
  EXPECT_EQ(picture.width, 293);
  EXPECT_EQ(picture.height, 350);
  EXPECT_LE(picture.palette.size(), 16u);
  ASSERT_EQ(picture.pixels.size(), 293u * 350u);
  std::set<int> used;
  for (const std::uint8_t index : picture.pixels) {
    ASSERT_LT(index, picture.palette.size());
    used.insert(index);
  }
  EXPECT_GT(used.size(), 8u) << "a picture, not a flat fill";
  // Every edge pixel is dark: a banner shows exactly where the picture went.
  for (int x = 0; x < picture.width; ++x) {
    for (const int y : {0, picture.height - 1}) {
      const PaletteColor c = picture.palette[picture.pixels[static_cast<std::size_t>(y * picture.width + x)]];
      EXPECT_LT(c.r + c.g + c.b, 200) << x << "," << y;
    }
  }
}

TEST(BannerSize, IndexesOneToFourteenHaveSizes) {
  EXPECT_FALSE(BannerSizeOf(0));
  EXPECT_FALSE(BannerSizeOf(15));
  EXPECT_FALSE(BannerSizeOf(-1));
  ASSERT_TRUE(BannerSizeOf(1));
  EXPECT_EQ(BannerSizeOf(1)->width, 468);
  EXPECT_EQ(BannerSizeOf(1)->height, 60);
  EXPECT_EQ(BannerSizeOf(5)->width, 88);
  EXPECT_EQ(BannerSizeOf(5)->height, 31);
  EXPECT_EQ(BannerSizeOf(14)->width, 240);
  EXPECT_EQ(BannerSizeOf(14)->height, 240);
}

TEST(SavedPercent, IsTheShareOfUncompressedBytesSaved) {
  EXPECT_DOUBLE_EQ(SavedPercent(0, 0, 0, 0), 0);
  EXPECT_DOUBLE_EQ(SavedPercent(0, 5, 0, 5), 0) << "nothing uncompressed counted";
  EXPECT_DOUBLE_EQ(SavedPercent(100, 50, 300, 150), 50);
  EXPECT_DOUBLE_EQ(SavedPercent(10, 0, 30, 10), 75);
  EXPECT_DOUBLE_EQ(SavedPercent(10, 20, 0, 0), -100) << "a loss shows as a negative saving";
}

TEST(SavingText, HasOneDecimalTheSeparatorAndPercent) {
  EXPECT_EQ(FormatSavingText(0, "."), "0.0%");
  EXPECT_EQ(FormatSavingText(37.5, ","), "37,5%");
  EXPECT_EQ(FormatSavingText(99.96, "."), "100.0%");
  EXPECT_EQ(FormatSavingText(-4.25, "."), "-4.2%");
  EXPECT_EQ(FormatSavingText(12.34, ""), "123%");
  EXPECT_EQ(FormatSavingText(std::nan(""), ","), "0,0%");
}

TEST(BannerPlacement, FitsNinetyPercentKeepingTheAspectRatio) {
  const PictureRect wide = FitBackgroundPicture(468, 60);
  EXPECT_EQ(wide.x, 211);
  EXPECT_EQ(wide.y, 3);
  EXPECT_EQ(wide.width, 45);
  EXPECT_EQ(wide.height, 54);
  // Limited by the width: d = 270, f = round(350/293 * 270) = 323.
  const PictureRect tall = FitBackgroundPicture(300, 600);
  EXPECT_EQ(tall.width, 270);
  EXPECT_EQ(tall.height, 323);
  EXPECT_EQ(tall.x, 15);
  EXPECT_EQ(tall.y, 138);
  // Halves go to the even neighbour: 0.9 * 35 = 31.5 -> 32, 0.9 * 45 = 40.5 -> 40.
  EXPECT_EQ(FitBackgroundPicture(35, 1000).width, 32);
  EXPECT_EQ(FitBackgroundPicture(45, 1000).width, 40);
}

TEST(BannerImage, WideBannerShowsThePictureInItsRectangle) {
  const auto image = RenderBannerImage(468, 60, 42.0, ".");
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width(), 468);
  EXPECT_EQ(image->height(), 60);
  const PictureRect drawn = NonWhiteBounds(*image);
  EXPECT_EQ(drawn.x, 211);
  EXPECT_EQ(drawn.y, 3);
  EXPECT_EQ(drawn.width, 45);
  EXPECT_EQ(drawn.height, 54);
  for (int y = 0; y < 60; ++y) {
    for (int x = 0; x < 468; ++x) ASSERT_EQ(image->Pixel(x, y) >> 24, 0xFFu) << "opaque everywhere";
  }
}

TEST(BannerImage, DecorationOnlyAboveThirtyPixelsBothWays) {
  const auto small = RenderBannerImage(88, 31, 10.0, ".");
  ASSERT_TRUE(small);
  EXPECT_GT(NonWhiteBounds(*small).width, 0) << "88 x 31 carries the picture";
  for (const auto& [w, h] : {std::pair{31, 30}, std::pair{30, 31}, std::pair{30, 30}, std::pair{200, 12}}) {
    const auto plain = RenderBannerImage(w, h, 10.0, ".");
    ASSERT_TRUE(plain);
    EXPECT_EQ(NonWhiteBounds(*plain).width, 0) << w << " x " << h << " stays white";
  }
  EXPECT_GT(NonWhiteBounds(*RenderBannerImage(31, 31, 10.0, ".")).width, 0);
}

TEST(BannerImage, NoImageForEmptySizes) {
  EXPECT_FALSE(RenderBannerImage(0, 60, 1, "."));
  EXPECT_FALSE(RenderBannerImage(60, 0, 1, "."));
  EXPECT_FALSE(RenderBannerImage(-5, 60, 1, "."));
}

TEST(BannerImage, TextFollowsThePercentAndSeparator) {
  const auto zero = RenderBannerImage(300, 250, 0.0, ".");
  const auto zero_again = RenderBannerImage(300, 250, 0.0, ".");
  const auto high = RenderBannerImage(300, 250, 87.5, ".");
  const auto comma = RenderBannerImage(300, 250, 87.5, ",");
  ASSERT_TRUE(zero && zero_again && high && comma);
  EXPECT_TRUE(SamePixels(*zero, *zero_again)) << "the same saving draws the same picture";
  EXPECT_FALSE(SamePixels(*zero, *high));
  EXPECT_FALSE(SamePixels(*high, *comma));
  // The text is light (0xE7DEDE) and lies inside the picture's rectangle: the
  // two pictures differ only there.
  const PictureRect rect = FitBackgroundPicture(300, 250);
  int differing = 0;
  for (int y = 0; y < 250; ++y) {
    for (int x = 0; x < 300; ++x) {
      if (zero->Pixel(x, y) == high->Pixel(x, y)) continue;
      ++differing;
      EXPECT_TRUE(x >= rect.x && x < rect.x + rect.width && y >= rect.y && y < rect.y + rect.height);
    }
  }
  EXPECT_GT(differing, 100);
}

TEST(BannerImage, SameResultOnManyThreadsAtOnce) {
  std::vector<std::optional<ArgbImage>> alone;
  for (int k = 1; k <= 14; ++k) alone.push_back(RenderBannerImage(BannerSizes[k].width, BannerSizes[k].height, k, "."));
  std::vector<std::vector<std::optional<ArgbImage>>> per_thread(4);
  std::vector<std::thread> threads;
  for (auto& results : per_thread) {
    threads.emplace_back([&results] {
      for (int k = 1; k <= 14; ++k) {
        results.push_back(RenderBannerImage(BannerSizes[k].width, BannerSizes[k].height, k, "."));
      }
      EXPECT_FALSE(MakeBannerResponse(3, 1.5, ".", 0).empty());
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& results : per_thread) {
    ASSERT_EQ(results.size(), alone.size());
    for (std::size_t i = 0; i < alone.size(); ++i) {
      ASSERT_TRUE(results[i] && alone[i]);
      EXPECT_TRUE(SamePixels(*results[i], *alone[i])) << "banner " << i + 1;
    }
  }
}

TEST(BannerResponse, EveryIndexGivesAGifOfExactlyItsSize) {
  for (int k = 1; k <= 14; ++k) {
    const auto response = MakeBannerResponse(k, 33.3, ",", 1'700'000'000);
    const SplitResponse parts = Split(response);
    ASSERT_FALSE(parts.body.empty()) << k;
    EXPECT_NE(parts.header.find("Content-Length: " + std::to_string(parts.body.size()) + "\r\n"), std::string::npos);
    const auto gif = test::ReadBack(parts.body);
    ASSERT_TRUE(gif) << "giflib reads banner " << k;
    EXPECT_EQ(gif->width, BannerSizes[k].width) << k;
    EXPECT_EQ(gif->height, BannerSizes[k].height) << k;
    EXPECT_EQ(gif->frame_width, BannerSizes[k].width);
    EXPECT_EQ(gif->frames, 1);
    EXPECT_LE(gif->palette.size(), 256u);
  }
}

TEST(BannerResponse, GifKeepsThePicturesColours) {
  const auto picture = RenderBannerImage(120, 90, 50, ".");
  ASSERT_TRUE(picture);
  const auto gif = test::ReadBack(test::AsText(EncodePaletteGif(*picture)));
  ASSERT_TRUE(gif);
  // Every pixel within a small distance of the drawn one.
  long worst = 0;
  for (int y = 0; y < 90; ++y) {
    for (int x = 0; x < 120; ++x) {
      const std::uint32_t p = picture->Pixel(x, y);
      const GifColor c = gif->palette[gif->pixels[static_cast<std::size_t>(y * 120 + x)]];
      const long dr = static_cast<long>((p >> 16) & 0xFF) - c.r;
      const long dg = static_cast<long>((p >> 8) & 0xFF) - c.g;
      const long db = static_cast<long>(p & 0xFF) - c.b;
      worst = std::max(worst, dr * dr + dg * dg + db * db);
    }
  }
  EXPECT_LT(worst, 40 * 40);
}

TEST(BannerResponse, NoAnswerForAnIndexWithoutASize) {
  EXPECT_TRUE(MakeBannerResponse(0, 10, ".", 0).empty());
  EXPECT_TRUE(MakeBannerResponse(15, 10, ".", 0).empty());
  EXPECT_TRUE(MakeBannerResponse(-3, 10, ".", 0).empty());
}

TEST(BannerResponse, HeaderIsExactWithExpiresAnHourAfterDate) {
  const ScopedTimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
  // 2026-12-09 13:05:09 UTC.
  const std::time_t now = 1796821509;
  const auto response = MakeBannerResponse(5, 0, ".", now);
  const SplitResponse parts = Split(response);
  EXPECT_EQ(parts.header,
            "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nAccept-Ranges: bytes\r\nConnection: keep-alive\r\n"
            "Content-Length: " +
                std::to_string(parts.body.size()) +
                "\r\nDate: Wed, 9 Dec 2026 14:05:09 +0100\r\nExpires: Wed, 9 Dec 2026 15:05:09 +0100\r\n\r\n");
}

TEST(Rfc822Date, WritesTheLocalTimeAndItsOffset) {
  {
    const ScopedTimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
    // Summer time ends at 01:00 UTC on 2026-10-25: an hour after 00:30 UTC
    // the clock shows the same time with the other offset.
    EXPECT_EQ(FormatRfc822Date(1792888200), "Sun, 25 Oct 2026 02:30:00 +0200");
    EXPECT_EQ(FormatRfc822Date(1792888200 + 3600), "Sun, 25 Oct 2026 02:30:00 +0100");
    EXPECT_EQ(FormatRfc822Date(1767225599), "Thu, 1 Jan 2026 00:59:59 +0100");
  }
  {
    const ScopedTimeZone tz("EST5");
    EXPECT_EQ(FormatRfc822Date(1796821509), "Wed, 9 Dec 2026 08:05:09 -0500");
  }
  {
    const ScopedTimeZone tz("IST-5:30");
    EXPECT_EQ(FormatRfc822Date(1796821509), "Wed, 9 Dec 2026 18:35:09 +0530");
  }
}

}  // namespace
}  // namespace korvan
