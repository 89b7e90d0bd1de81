// KV_BGIMG: the picture behind the replacement banners, 293 x 350 pixels in
// 16 colours, embedded into the program at build time (see
// make_background_picture.py).
#pragma once

#include <cstdint>
#include <span>

namespace korvan {

struct PaletteColor {
  std::uint8_t r = 0;
  std::uint8_t g = 0;
  std::uint8_t b = 0;
};

// A palette picture: `pixels` holds width x height indices into `palette`,
// row by row. The spans stay valid for the life of the program.
struct IndexedPicture {
  int width = 0;
  int height = 0;
  std::span<const PaletteColor> palette;
  std::span<const std::uint8_t> pixels;
};

IndexedPicture BackgroundPictureResource();

}  // namespace korvan
