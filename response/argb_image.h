// A 32-bit picture for the image work of the banners and the GIF
// recompression: an owned cairo ARGB32 image surface (premultiplied alpha,
// one native-endian 0xAARRGGBB word per pixel).
//
// Thread rule: a value; one thread at a time uses an image. Different
// images may be used on different threads at once.
#pragma once

#include <cstdint>
#include <optional>

typedef struct _cairo_surface cairo_surface_t;

namespace korvan {

class ArgbImage {
 public:
  // A picture of width x height, every pixel 0 (transparent); nullopt when a
  // side is 0 or less or cairo cannot make the surface.
  static std::optional<ArgbImage> Create(int width, int height);

  ArgbImage(ArgbImage&& other) noexcept;
  ArgbImage& operator=(ArgbImage&& other) noexcept;
  ArgbImage(const ArgbImage&) = delete;
  ArgbImage& operator=(const ArgbImage&) = delete;
  ~ArgbImage();

  int width() const { return width_; }
  int height() const { return height_; }
  // The pixel as 0xAARRGGBB (premultiplied). x and y must lie inside.
  std::uint32_t Pixel(int x, int y) const { return Row(y)[x]; }
  const std::uint32_t* Row(int y) const;
  // For writing pixels directly; call MarkDirty() before cairo draws again.
  std::uint32_t* MutableRow(int y);
  void MarkDirty();
  // Completes cairo's pending drawing before the pixels are read.
  void Flush() const;

  cairo_surface_t* surface() const { return surface_; }

 private:
  ArgbImage(cairo_surface_t* surface, int width, int height);

  cairo_surface_t* surface_ = nullptr;
  int width_ = 0;
  int height_ = 0;
  int stride_words_ = 0;
};

}  // namespace korvan
