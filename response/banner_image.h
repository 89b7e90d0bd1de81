// The picture that stands in for a blocked advertising banner: the
// background picture KV_BGIMG fitted into the banner with the overall saving
// written across it.
//
// Pure functions of their arguments; any thread may call them at any time.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "response/argb_image.h"
#include "wire/banner_sizes.h"

namespace korvan {


// Share of the uncompressed bytes that compression saved, in percent; 0 when
// nothing uncompressed was counted.
double SavedPercent(double sent_uncompressed, double sent_compressed, double received_uncompressed,
                    double received_compressed);

// The saving as drawn: one decimal, `decimal_separator`, then "%" ("37,5%").
std::string FormatSavingText(double percent, std::string_view decimal_separator);

// Where the background picture goes in a banner: 90 % of the banner, the
// picture's aspect ratio kept, centred.
struct PictureRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};
PictureRect FitBackgroundPicture(int width, int height);

// The banner picture: opaque white, and when both sides exceed 30 pixels the
// background picture with the saving text; nullopt when a side is 0 or less.
std::optional<ArgbImage> RenderBannerImage(int width, int height, double percent,
                                           std::string_view decimal_separator);

}  // namespace korvan
