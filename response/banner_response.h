// The complete HTTP answer that stands in for a blocked advertising banner:
// the drawn banner picture as a GIF of the banner's exact size.
//
// Pure functions of their arguments; any thread may call them.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "response/argb_image.h"

namespace korvan {

// The picture as a GIF: an optimal palette of at most 256 colours
// (libimagequant), LZW-coded by giflib. Empty when it cannot be made.
std::vector<std::uint8_t> EncodePaletteGif(const ArgbImage& picture);

// `when` in local time, RFC 822 style: "Tue, 9 Dec 2026 14:05:09 +0100".
std::string FormatRfc822Date(std::time_t when);

// The answer for banner index k (1..14): "HTTP/1.1 200 OK" with the GIF's
// Content-Length, Date `now` and Expires an hour later, then the GIF drawn
// with the saving `percent`. Empty for an index without a size.
std::vector<std::uint8_t> MakeBannerResponse(int k, double percent, std::string_view decimal_separator,
                                             std::time_t now);

}  // namespace korvan
