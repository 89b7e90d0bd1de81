#include "response/banner_response.h"

#include <libimagequant.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "response/banner_image.h"
#include "response/gif_codec.h"

namespace korvan {
namespace {

constexpr std::time_t kExpiresAfterSeconds = 60 * 60;

// libimagequant runs its loops on an OpenMP team of one thread per core,
// whose threads spin for a while after each picture. A banner is too small
// to gain from it, and on the user's machine the spinning takes the cores
// the other connections and the window need; the worker that draws keeps
// the work on its own thread. Weak, so that a libimagequant built without
// OpenMP still links.
extern "C" void omp_set_num_threads(int) __attribute__((weak));

void KeepQuantizingOnThisThread() {
  if (omp_set_num_threads != nullptr) omp_set_num_threads(1);
}

struct LiqAttrDeleter {
  void operator()(liq_attr* a) const { liq_attr_destroy(a); }
};
struct LiqImageDeleter {
  void operator()(liq_image* i) const { liq_image_destroy(i); }
};
struct LiqResultDeleter {
  void operator()(liq_result* r) const { liq_result_destroy(r); }
};

}  // namespace

std::vector<std::uint8_t> EncodePaletteGif(const ArgbImage& picture) {
  const int w = picture.width();
  const int h = picture.height();
  picture.Flush();
  // libimagequant takes straight RGBA bytes; cairo holds premultiplied words.
  std::vector<std::uint8_t> rgba(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
  std::size_t k = 0;
  for (int y = 0; y < h; ++y) {
    const std::uint32_t* row = picture.Row(y);
    for (int x = 0; x < w; ++x) {
      const std::uint32_t p = row[x];
      const unsigned a = p >> 24;
      auto straight = [a](unsigned c) { return a == 0 ? 0u : a == 255 ? c : std::min(255u, (c * 255 + a / 2) / a); };
      rgba[k++] = static_cast<std::uint8_t>(straight((p >> 16) & 0xFF));
      rgba[k++] = static_cast<std::uint8_t>(straight((p >> 8) & 0xFF));
      rgba[k++] = static_cast<std::uint8_t>(straight(p & 0xFF));
      rgba[k++] = static_cast<std::uint8_t>(a);
    }
  }
  KeepQuantizingOnThisThread();
  std::unique_ptr<liq_attr, LiqAttrDeleter> attr(liq_attr_create());
  if (!attr || liq_set_max_colors(attr.get(), 256) != LIQ_OK) return {};
  // The faster settings lose nothing visible on a picture this small.
  liq_set_speed(attr.get(), 8);
  std::unique_ptr<liq_image, LiqImageDeleter> image(liq_image_create_rgba(attr.get(), rgba.data(), w, h, 0));
  if (!image) return {};
  liq_result* raw_result = nullptr;
  if (liq_image_quantize(image.get(), attr.get(), &raw_result) != LIQ_OK || raw_result == nullptr) return {};
  std::unique_ptr<liq_result, LiqResultDeleter> result(raw_result);
  // No dithering: the text and the picture's edges stay clean, and the LZW
  // runs stay long.
  liq_set_dithering_level(result.get(), 0.0f);

  GifImage gif;
  gif.width = w;
  gif.height = h;
  GifFrame frame;
  frame.width = w;
  frame.height = h;
  frame.pixels.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  if (liq_write_remapped_image(result.get(), image.get(), frame.pixels.data(), frame.pixels.size()) != LIQ_OK) {
    return {};
  }
  const liq_palette* palette = liq_get_palette(result.get());
  if (palette == nullptr || palette->count == 0 || palette->count > 256) return {};
  for (unsigned i = 0; i < palette->count; ++i) {
    gif.palette.push_back(GifColor{palette->entries[i].r, palette->entries[i].g, palette->entries[i].b});
  }
  gif.color_resolution = GifBitsFor(gif.palette.size());
  gif.frames.push_back(std::move(frame));
  return EncodeGif(gif);
}

std::string FormatRfc822Date(std::time_t when) {
  static constexpr const char* kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) return {};
  const long offset_minutes = local.tm_gmtoff / 60;
  const long magnitude = std::labs(offset_minutes);
  char text[96];
  std::snprintf(text, sizeof text, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[(local.tm_wday % 7 + 7) % 7],
                local.tm_mday, kMonths[(local.tm_mon % 12 + 12) % 12], local.tm_year + 1900, local.tm_hour,
                local.tm_min, local.tm_sec, offset_minutes < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
  return text;
}

std::vector<std::uint8_t> MakeBannerResponse(int k, double percent, std::string_view decimal_separator,
                                             std::time_t now) {
  const auto size = BannerSizeOf(k);
  if (!size) return {};
  const auto picture = RenderBannerImage(size->width, size->height, percent, decimal_separator);
  if (!picture) return {};
  const std::vector<std::uint8_t> gif = EncodePaletteGif(*picture);
  if (gif.empty()) return {};
  const std::string header =
      "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nAccept-Ranges: bytes\r\nConnection: keep-alive\r\n"
      "Content-Length: " +
      std::to_string(gif.size()) + "\r\nDate: " + FormatRfc822Date(now) +
      "\r\nExpires: " + FormatRfc822Date(now + kExpiresAfterSeconds) + "\r\n\r\n";
  std::vector<std::uint8_t> out(header.begin(), header.end());
  out.insert(out.end(), gif.begin(), gif.end());
  return out;
}

}  // namespace korvan
