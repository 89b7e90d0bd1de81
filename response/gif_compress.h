// Resizing a GIF to the size the server asks for and putting it back onto
// its own palette: the first frame as it shows, stretched, re-palettised
// (dithered when enlarged), with its transparency kept.
//
// Thread rule: a TGifCompress is made for one picture on one thread; any
// number of them may work on different threads at once.
#pragma once

#include "response/argb_image.h"
#include "response/gif_codec.h"

namespace korvan {

class TGifCompress {
 public:
  // Replaces `image` (decoded with at least its first frame's pixels) by a
  // still picture of width x height. Returns false, leaving `image` as it
  // was, when the target is empty or beyond `limits`, or the picture has no
  // frame pixels or no colours.
  bool Recompress(GifImage& image, int width, int height, const GifLimits& limits = {});
};

// The steps of Recompress, open to tests.
namespace gif_compress {

// The colour table the first frame is drawn with and mapped back onto: its
// own, else the global one.
std::vector<GifColor> FramePalette(const GifImage& image);

// Entry t made the only one of its colour. A t beyond the table first grows
// the table to t + 1 entries (repeating the last colour); then, while
// another entry has the same colour, the colour is stepped (white becomes
// black, then each of blue, green and red below 255 goes up by 1).
void MakeTransparentUnique(std::vector<GifColor>& palette, int t);

// The first frame at its offset on the logical screen, drawn with
// `palette`: pixels of `transparent_index` (when it is 0 or more) and the
// area outside the frame transparent; without transparency the area outside
// the frame is the background colour. Index values beyond the table are
// drawn black.
std::optional<ArgbImage> RenderFirstFrame(const GifImage& image, const std::vector<GifColor>& palette,
                                          int transparent_index);

// `source` stretched over a width x height picture, nearest-neighbour or
// bilinear.
std::optional<ArgbImage> Stretch(const ArgbImage& source, int width, int height, bool nearest);

// Palette indices of `picture`: pixels with alpha below half become
// `transparent_index` (when it is 0 or more), the others the nearest colour
// of `palette` other than `transparent_index`; with `dither`, the rounding
// error is spread by Stucki's kernel.
std::vector<std::uint8_t> MapToPalette(const ArgbImage& picture, const std::vector<GifColor>& palette,
                                       int transparent_index, bool dither);

}  // namespace gif_compress
}  // namespace korvan
