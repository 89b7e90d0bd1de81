#include "response/gif_compress.h"

#include <cairo.h>

#include <algorithm>
#include <array>
#include <memory>

namespace korvan {
namespace gif_compress {
namespace {

// Enough steps to walk from any colour to white and once through the greys;
// a table that holds every grey cannot give entry t a colour of its own,
// and then the mapping (which never picks t for an opaque pixel) still keeps
// the transparency right.
constexpr int kMaxUniqueSteps = 1024;

std::uint32_t Opaque(const GifColor& c) {
  return 0xFF000000u | static_cast<std::uint32_t>(c.r) << 16 | static_cast<std::uint32_t>(c.g) << 8 | c.b;
}

// Nearest palette colour by squared RGB distance, ties to the lower index.
// Entries are kept sorted by red so that a search can stop once the red
// difference alone is too large; recent answers are remembered.
class NearestColour {
 public:
  NearestColour(const std::vector<GifColor>& palette, int excluded) {
    for (std::size_t i = 0; i < palette.size(); ++i) {
      if (static_cast<int>(i) == excluded) continue;
      entries_.push_back(Entry{palette[i].r, palette[i].g, palette[i].b, static_cast<std::uint8_t>(i)});
    }
    std::sort(entries_.begin(), entries_.end(),
              [](const Entry& a, const Entry& b) { return a.r != b.r ? a.r < b.r : a.index < b.index; });
    for (int r = 0; r < 256; ++r) {
      first_at_or_above_[static_cast<std::size_t>(r)] = static_cast<int>(
          std::lower_bound(entries_.begin(), entries_.end(), r, [](const Entry& e, int v) { return e.r < v; }) -
          entries_.begin());
    }
  }

  bool empty() const { return entries_.empty(); }

  std::uint8_t Find(int r, int g, int b) {
    const std::uint32_t key = static_cast<std::uint32_t>(r) << 16 | static_cast<std::uint32_t>(g) << 8 |
                              static_cast<std::uint32_t>(b);
    const std::size_t slot = ((key * 2654435761u) >> 19) & (kCacheSize - 1);
    const std::uint64_t cached = cache_[slot];
    if ((cached >> 8) == (std::uint64_t{key} | 0x1000000u)) return static_cast<std::uint8_t>(cached & 0xFF);
    const std::uint8_t index = Search(r, g, b);
    cache_[slot] = (std::uint64_t{key} | 0x1000000u) << 8 | index;
    return index;
  }

 private:
  struct Entry {
    std::uint8_t r, g, b, index;
  };
  static constexpr std::size_t kCacheSize = 8192;

  std::uint8_t Search(int r, int g, int b) const {
    int best = 1 << 30;
    int best_index = 256;
    auto consider = [&](const Entry& e) {
      const int dr = e.r - r, dg = e.g - g, db = e.b - b;
      const int d = dr * dr + dg * dg + db * db;
      if (d < best || (d == best && e.index < best_index)) {
        best = d;
        best_index = e.index;
      }
    };
    const int n = static_cast<int>(entries_.size());
    const int start = first_at_or_above_[static_cast<std::size_t>(r)];
    for (int i = start; i < n; ++i) {
      const int dr = entries_[static_cast<std::size_t>(i)].r - r;
      if (dr * dr > best) break;
      consider(entries_[static_cast<std::size_t>(i)]);
    }
    for (int i = start - 1; i >= 0; --i) {
      const int dr = r - entries_[static_cast<std::size_t>(i)].r;
      if (dr * dr > best) break;
      consider(entries_[static_cast<std::size_t>(i)]);
    }
    return static_cast<std::uint8_t>(best_index);
  }

  std::vector<Entry> entries_;
  std::array<int, 256> first_at_or_above_{};
  std::vector<std::uint64_t> cache_ = std::vector<std::uint64_t>(kCacheSize, 0);
};

// The colour under premultiplied alpha, as straight RGB.
void Unpremultiply(std::uint32_t pixel, int& r, int& g, int& b) {
  const int a = static_cast<int>(pixel >> 24);
  r = static_cast<int>((pixel >> 16) & 0xFF);
  g = static_cast<int>((pixel >> 8) & 0xFF);
  b = static_cast<int>(pixel & 0xFF);
  if (a != 255 && a != 0) {
    r = std::min(255, (r * 255 + a / 2) / a);
    g = std::min(255, (g * 255 + a / 2) / a);
    b = std::min(255, (b * 255 + a / 2) / a);
  }
}

bool IsTransparent(std::uint32_t pixel) { return (pixel >> 24) < 128; }

std::vector<std::uint8_t> MapNearest(const ArgbImage& picture, NearestColour& nearest, int transparent_index) {
  const int w = picture.width();
  const int h = picture.height();
  std::vector<std::uint8_t> out(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  std::size_t k = 0;
  for (int y = 0; y < h; ++y) {
    const std::uint32_t* row = picture.Row(y);
    for (int x = 0; x < w; ++x, ++k) {
      if (transparent_index >= 0 && IsTransparent(row[x])) {
        out[k] = static_cast<std::uint8_t>(transparent_index);
        continue;
      }
      int r, g, b;
      Unpremultiply(row[x], r, g, b);
      out[k] = nearest.Find(r, g, b);
    }
  }
  return out;
}

// Stucki error diffusion, left to right on every row. The kernel, over 42:
//           X  8  4
//     2  4  8  4  2
//     1  2  4  2  1
std::vector<std::uint8_t> MapStucki(const ArgbImage& picture, const std::vector<GifColor>& palette,
                                    NearestColour& nearest, int transparent_index) {
  const int w = picture.width();
  const int h = picture.height();
  std::vector<std::uint8_t> out(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  // Three rows of weighted errors (42 times the error), two pixels of margin
  // on either side, three channels each.
  const std::size_t stride = (static_cast<std::size_t>(w) + 4) * 3;
  std::vector<int> rows(stride * 3, 0);
  int* current = rows.data();
  int* next = current + stride;
  int* after = next + stride;
  auto spread = [](int* row, int x, int weight, const int e[3]) {
    int* p = row + static_cast<std::ptrdiff_t>(x + 2) * 3;
    p[0] += e[0] * weight;
    p[1] += e[1] * weight;
    p[2] += e[2] * weight;
  };
  auto divide = [](int weighted) { return weighted >= 0 ? (weighted + 21) / 42 : -((-weighted + 21) / 42); };
  std::size_t k = 0;
  for (int y = 0; y < h; ++y) {
    const std::uint32_t* row = picture.Row(y);
    for (int x = 0; x < w; ++x, ++k) {
      if (transparent_index >= 0 && IsTransparent(row[x])) {
        out[k] = static_cast<std::uint8_t>(transparent_index);
        continue;
      }
      int c[3];
      Unpremultiply(row[x], c[0], c[1], c[2]);
      const int* carried = current + static_cast<std::ptrdiff_t>(x + 2) * 3;
      for (int i = 0; i < 3; ++i) c[i] = std::clamp(c[i] + divide(carried[i]), 0, 255);
      const std::uint8_t index = nearest.Find(c[0], c[1], c[2]);
      out[k] = index;
      const GifColor& chosen = palette[index];
      const int e[3] = {c[0] - chosen.r, c[1] - chosen.g, c[2] - chosen.b};
      if (e[0] == 0 && e[1] == 0 && e[2] == 0) continue;
      spread(current, x + 1, 8, e);
      spread(current, x + 2, 4, e);
      spread(next, x - 2, 2, e);
      spread(next, x - 1, 4, e);
      spread(next, x, 8, e);
      spread(next, x + 1, 4, e);
      spread(next, x + 2, 2, e);
      spread(after, x - 2, 1, e);
      spread(after, x - 1, 2, e);
      spread(after, x, 4, e);
      spread(after, x + 1, 2, e);
      spread(after, x + 2, 1, e);
    }
    std::fill(current, current + stride, 0);
    int* recycled = current;
    current = next;
    next = after;
    after = recycled;
  }
  return out;
}

struct CairoDeleter {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};

}  // namespace

std::vector<GifColor> FramePalette(const GifImage& image) {
  if (!image.frames.empty() && !image.frames.front().palette.empty()) return image.frames.front().palette;
  return image.palette;
}

void MakeTransparentUnique(std::vector<GifColor>& palette, int t) {
  if (t < 0 || t > 255 || palette.empty()) return;
  const GifColor held = palette[std::min(static_cast<std::size_t>(t), palette.size() - 1)];
  while (palette.size() <= static_cast<std::size_t>(t)) palette.push_back(held);
  auto shared = [&] {
    for (std::size_t j = 0; j < palette.size(); ++j) {
      if (j != static_cast<std::size_t>(t) && palette[j] == palette[static_cast<std::size_t>(t)]) return true;
    }
    return false;
  };
  GifColor& c = palette[static_cast<std::size_t>(t)];
  for (int step = 0; step < kMaxUniqueSteps && shared(); ++step) {
    if (c.r == 255 && c.g == 255 && c.b == 255) c = GifColor{0, 0, 0};
    if (c.b < 255) ++c.b;
    if (c.g < 255) ++c.g;
    if (c.r < 255) ++c.r;
  }
}

std::optional<ArgbImage> RenderFirstFrame(const GifImage& image, const std::vector<GifColor>& palette,
                                          int transparent_index) {
  if (image.frames.empty()) return std::nullopt;
  const GifFrame& frame = image.frames.front();
  if (frame.pixels.size() != static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height)) {
    return std::nullopt;
  }
  auto picture = ArgbImage::Create(image.width, image.height);
  if (!picture) return std::nullopt;
  if (transparent_index < 0) {
    const bool known = image.background >= 0 && static_cast<std::size_t>(image.background) < image.palette.size();
    const std::uint32_t background = known ? Opaque(image.palette[static_cast<std::size_t>(image.background)])
                                           : 0xFF000000u;
    for (int y = 0; y < image.height; ++y) std::fill_n(picture->MutableRow(y), image.width, background);
  }
  std::array<std::uint32_t, 256> colours;
  colours.fill(0xFF000000u);
  for (std::size_t i = 0; i < palette.size() && i < colours.size(); ++i) colours[i] = Opaque(palette[i]);
  if (transparent_index >= 0 && transparent_index < 256) colours[static_cast<std::size_t>(transparent_index)] = 0;
  const int x_end = std::min(image.width, frame.left + frame.width);
  const int y_end = std::min(image.height, frame.top + frame.height);
  for (int y = frame.top; y < y_end; ++y) {
    const std::uint8_t* source = frame.pixels.data() + static_cast<std::size_t>(y - frame.top) * frame.width;
    std::uint32_t* row = picture->MutableRow(y);
    for (int x = frame.left; x < x_end; ++x) {
      const std::uint32_t colour = colours[source[x - frame.left]];
      // A transparent pixel lets through what lies beneath: the background
      // or nothing.
      if (colour != 0) row[x] = colour;
    }
  }
  picture->MarkDirty();
  return picture;
}

std::optional<ArgbImage> Stretch(const ArgbImage& source, int width, int height, bool nearest) {
  auto target = ArgbImage::Create(width, height);
  if (!target) return std::nullopt;
  std::unique_ptr<cairo_t, CairoDeleter> cr(cairo_create(target->surface()));
  cairo_scale(cr.get(), static_cast<double>(width) / source.width(), static_cast<double>(height) / source.height());
  cairo_set_source_surface(cr.get(), source.surface(), 0, 0);
  cairo_pattern_t* pattern = cairo_get_source(cr.get());
  cairo_pattern_set_filter(pattern, nearest ? CAIRO_FILTER_NEAREST : CAIRO_FILTER_BILINEAR);
  // Edge pixels repeat outward, so the borders do not fade.
  cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
  cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr.get());
  const bool ok = cairo_status(cr.get()) == CAIRO_STATUS_SUCCESS;
  cr.reset();
  if (!ok) return std::nullopt;
  target->Flush();
  return target;
}

std::vector<std::uint8_t> MapToPalette(const ArgbImage& picture, const std::vector<GifColor>& palette,
                                       int transparent_index, bool dither) {
  if (palette.empty() || palette.size() > 256) return {};
  NearestColour nearest(palette, transparent_index);
  // A table of nothing but the transparent entry leaves it as the only one.
  if (nearest.empty()) nearest = NearestColour(palette, -1);
  return dither ? MapStucki(picture, palette, nearest, transparent_index)
                : MapNearest(picture, nearest, transparent_index);
}

}  // namespace gif_compress

bool TGifCompress::Recompress(GifImage& image, int width, int height, const GifLimits& limits) {
  using namespace gif_compress;
  if (width <= 0 || height <= 0 || !limits.Allows(width, height) || image.frames.empty()) return false;
  const GifFrame& first = image.frames.front();
  std::vector<GifColor> palette = FramePalette(image);
  if (palette.empty() || palette.size() > 256) return false;

  const std::optional<GifControl> control = first.control;
  const bool transparent = control && control->transparent;
  const int t = transparent ? control->transparent_index : -1;
  if (transparent) MakeTransparentUnique(palette, t);

  const auto source = RenderFirstFrame(image, palette, t);
  if (!source) return false;
  // Nearest-neighbour keeps transparent pixels apart from opaque ones.
  const auto target = Stretch(*source, width, height, transparent);
  if (!target) return false;
  const bool enlarged = image.width < width || image.height < height;

  GifImage result;
  result.width = width;
  result.height = height;
  result.color_resolution = image.color_resolution;
  result.background =
      image.background >= 0 && static_cast<std::size_t>(image.background) < palette.size() ? image.background : 0;
  // Enlarged pictures are dithered and written at 8 bits; the others keep
  // the bits of the source.
  const int bits = enlarged ? 8 : std::max(GifBitsPerPixel(image), GifBitsFor(palette.size()));
  GifFrame frame;
  frame.width = width;
  frame.height = height;
  frame.pixels = MapToPalette(*target, palette, t, enlarged);
  if (frame.pixels.empty()) return false;
  if (control && static_cast<std::size_t>(control->transparent_index) < palette.size()) {
    frame.control =
        GifControl{control->disposal, control->user_input, control->transparent, control->transparent_index, 0};
  }
  result.palette = std::move(palette);
  result.palette.resize(std::size_t{1} << bits);
  result.frames.push_back(std::move(frame));
  image = std::move(result);
  return true;
}

}  // namespace korvan
