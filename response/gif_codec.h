// GIF pictures in memory, read and written with giflib: the decoded model
// that the recompression works on, a decoder that refuses damaged and
// oversized pictures before it allocates any pixels, and an encoder.
//
// Thread rule: plain values and pure functions; any thread may call them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace korvan {

struct GifColor {
  std::uint8_t r = 0;
  std::uint8_t g = 0;
  std::uint8_t b = 0;
  bool operator==(const GifColor&) const = default;
};

// A graphic control extension, as the file holds it.
struct GifControl {
  int disposal = 0;  // 0..7
  bool user_input = false;
  bool transparent = false;
  int transparent_index = 0;  // kept even when `transparent` is off
  int delay = 0;              // hundredths of a second
  bool operator==(const GifControl&) const = default;
};

struct GifFrame {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  bool interlaced = false;  // as stored; `pixels` are always in row order
  std::vector<GifColor> palette;  // the frame's own colour table; empty: the global one
  std::optional<GifControl> control;
  // width x height colour indices, row by row; empty when not decoded.
  std::vector<std::uint8_t> pixels;
};

struct GifImage {
  int width = 0;  // the logical screen
  int height = 0;
  int color_resolution = 8;
  int background = 0;
  std::vector<GifColor> palette;  // global colour table; empty when none
  std::vector<GifFrame> frames;
};

// Sizes beyond which a picture is refused unread.
struct GifLimits {
  int max_side = 8192;
  std::int64_t max_pixels = 16 * 1024 * 1024;
  bool Allows(std::int64_t width, std::int64_t height) const {
    return width >= 0 && height >= 0 && width <= max_side && height <= max_side && width * height <= max_pixels;
  }
};

enum class GifFrames {
  kFirst,  // pixels of the first frame only; the others are read through and kept without pixels
  kAll,
};

// The picture in `bytes`, up to its trailer; nullopt when giflib refuses it,
// it is cut short, holds no frame, or the logical screen or a frame is beyond
// `limits`. A logical screen of 0 in either direction takes the extent of the
// first frame.
std::optional<GifImage> DecodeGif(std::span<const std::uint8_t> bytes, GifFrames which = GifFrames::kFirst,
                                  const GifLimits& limits = {});

// The bits of the largest colour table of the picture (global or any
// frame's), 1..8.
int GifBitsPerPixel(const GifImage& image);

// The smallest number of bits that indexes `colours` entries, 1..8.
int GifBitsFor(std::size_t colours);

// The GIF file (GIF89a when any frame has a control extension, else GIF87a)
// of every decoded frame. Colour tables are padded to a power of two; pixel
// values are masked to the table's bits. Empty when the picture cannot be
// written (no frame, a frame without pixels or colours, a table above 256).
std::vector<std::uint8_t> EncodeGif(const GifImage& image);

}  // namespace korvan
