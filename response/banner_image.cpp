#include "response/banner_image.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numbers>
#include <vector>

#include "resources/background_picture.h"

namespace korvan {
namespace {

// "Arial" 30 points at the 96 dots per inch the banners were laid out for.
constexpr double kTextPixels = 30.0 * 96.0 / 72.0;
// Where the text layer is put on the rotated layer, and the angle, counted
// counter-clockwise as the picture is seen: -25 degrees makes the text run
// down to the right across the picture.
constexpr double kTextShiftX = 155;
constexpr double kTextShiftY = 60;
constexpr double kTextAngleDegrees = -25;
// Below this size in either direction a banner stays plain white.
constexpr int kDecorationMinSide = 30;

struct CairoDeleter {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
using Cairo = std::unique_ptr<cairo_t, CairoDeleter>;

// Rounds to the nearest integer, halves to the even one.
int RoundHalfEven(double value) {
  const double lower = std::floor(value);
  const double diff = value - lower;
  double result = lower;
  if (diff > 0.5 || (diff == 0.5 && std::fmod(lower, 2.0) != 0.0)) result = lower + 1;
  return static_cast<int>(result);
}

// The picture as opaque ARGB words, converted once.
const std::vector<std::uint32_t>& BackgroundWords() {
  static const std::vector<std::uint32_t> words = [] {
    const IndexedPicture picture = BackgroundPictureResource();
    std::vector<std::uint32_t> out(picture.pixels.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
      const std::uint8_t index = picture.pixels[i];
      const PaletteColor c = index < picture.palette.size() ? picture.palette[index] : PaletteColor{};
      out[i] = 0xFF000000u | static_cast<std::uint32_t>(c.r) << 16 | static_cast<std::uint32_t>(c.g) << 8 | c.b;
    }
    return out;
  }();
  return words;
}

std::optional<ArgbImage> BackgroundImage() {
  const IndexedPicture picture = BackgroundPictureResource();
  auto image = ArgbImage::Create(picture.width, picture.height);
  if (!image) return std::nullopt;
  const std::vector<std::uint32_t>& words = BackgroundWords();
  for (int y = 0; y < picture.height; ++y) {
    std::memcpy(image->MutableRow(y), words.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(picture.width),
                static_cast<std::size_t>(picture.width) * 4);
  }
  image->MarkDirty();
  return image;
}

// cairo takes UTF-8; the locale's separator is code-page text, whose bytes
// above 0x7F are passed on as the Latin-1 characters of the same number so
// that no separator can make the text invalid.
std::string ToUtf8(std::string_view text) {
  std::string out;
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

// The saving text on a transparent layer of the picture's size, its top-left
// at (0, 0), drawn without antialiasing.
void DrawText(ArgbImage& layer, const std::string& text) {
  Cairo cr(cairo_create(layer.surface()));
  cairo_select_font_face(cr.get(), "Arial", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_font_size(cr.get(), kTextPixels);
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_NONE);
  cairo_set_font_options(cr.get(), options);
  cairo_font_options_destroy(options);
  cairo_set_antialias(cr.get(), CAIRO_ANTIALIAS_NONE);
  cairo_set_source_rgba(cr.get(), 0xE7 / 255.0, 0xDE / 255.0, 0xDE / 255.0, 1.0);
  cairo_font_extents_t extents;
  cairo_font_extents(cr.get(), &extents);
  // The baseline one ascent down puts the top of the text cell at y = 0.
  cairo_move_to(cr.get(), 0, std::round(extents.ascent));
  cairo_show_text(cr.get(), ToUtf8(text).c_str());
}

// The text layer turned and moved onto a fresh layer of the same size.
std::optional<ArgbImage> RotateText(const ArgbImage& text) {
  auto rotated = ArgbImage::Create(text.width(), text.height());
  if (!rotated) return std::nullopt;
  const double a = kTextAngleDegrees * std::numbers::pi / 180.0;
  const double c = std::cos(a);
  const double s = -std::sin(a);
  // First the shift, then the turn about (0, 0): p' = R (p + shift).
  cairo_matrix_t m;
  cairo_matrix_init(&m, c, s, -s, c, c * kTextShiftX - s * kTextShiftY, s * kTextShiftX + c * kTextShiftY);
  Cairo cr(cairo_create(rotated->surface()));
  cairo_set_matrix(cr.get(), &m);
  cairo_set_source_surface(cr.get(), text.surface(), 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr.get()), CAIRO_FILTER_BILINEAR);
  cairo_paint(cr.get());
  return rotated;
}

// Stretches `layer` over `rect` of the canvas with bilinear filtering,
// blended by its alpha. The edge pixels are repeated outward so that the
// picture's border does not fade into the canvas.
void StretchInto(cairo_t* cr, const ArgbImage& layer, const PictureRect& rect) {
  cairo_save(cr);
  cairo_rectangle(cr, rect.x, rect.y, rect.width, rect.height);
  cairo_clip(cr);
  cairo_translate(cr, rect.x, rect.y);
  cairo_scale(cr, static_cast<double>(rect.width) / layer.width(), static_cast<double>(rect.height) / layer.height());
  cairo_set_source_surface(cr, layer.surface(), 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_BILINEAR);
  cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
  cairo_paint(cr);
  cairo_restore(cr);
}

}  // namespace

double SavedPercent(double sent_uncompressed, double sent_compressed, double received_uncompressed,
                    double received_compressed) {
  const double uncompressed = sent_uncompressed + received_uncompressed;
  if (uncompressed == 0) return 0;
  return (1 - (sent_compressed + received_compressed) / uncompressed) * 100;
}

std::string FormatSavingText(double percent, std::string_view decimal_separator) {
  // A saving lies within 100 %; anything wilder still gives a short text.
  if (!std::isfinite(percent)) percent = 0;
  percent = std::clamp(percent, -1e9, 1e9);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f", percent);
  std::string number(buffer);
  const std::size_t point = number.find('.');
  if (point != std::string::npos) number.replace(point, 1, decimal_separator);
  return number + "%";
}

PictureRect FitBackgroundPicture(int width, int height) {
  const IndexedPicture picture = BackgroundPictureResource();
  const double bw = picture.width;
  const double bh = picture.height;
  int d = RoundHalfEven(width * 0.9);
  int f = RoundHalfEven(bh / bw * d);
  const int max_f = RoundHalfEven(height * 0.9);
  if (f > max_f) {
    f = max_f;
    d = RoundHalfEven(bw / bh * f);
  }
  return PictureRect{(width - d) / 2, (height - f) / 2, d, f};
}

std::optional<ArgbImage> RenderBannerImage(int width, int height, double percent,
                                           std::string_view decimal_separator) {
  auto canvas = ArgbImage::Create(width, height);
  if (!canvas) return std::nullopt;
  Cairo cr(cairo_create(canvas->surface()));
  cairo_set_source_rgb(cr.get(), 1, 1, 1);
  cairo_paint(cr.get());

  if (width > kDecorationMinSide && height > kDecorationMinSide) {
    auto background = BackgroundImage();
    if (!background) return std::nullopt;
    // Premultiplied, transparent white is all zero: a fresh layer already is.
    auto text = ArgbImage::Create(background->width(), background->height());
    if (!text) return std::nullopt;
    DrawText(*text, FormatSavingText(percent, decimal_separator));
    auto rotated = RotateText(*text);
    if (!rotated) return std::nullopt;
    const PictureRect rect = FitBackgroundPicture(width, height);
    if (rect.width > 0 && rect.height > 0) {
      StretchInto(cr.get(), *background, rect);
      StretchInto(cr.get(), *rotated, rect);
    }
  }
  cr.reset();
  canvas->Flush();
  return canvas;
}

}  // namespace korvan
