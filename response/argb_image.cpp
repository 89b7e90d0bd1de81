#include "response/argb_image.h"

#include <cairo.h>

#include <utility>

namespace korvan {

std::optional<ArgbImage> ArgbImage::Create(int width, int height) {
  if (width <= 0 || height <= 0) return std::nullopt;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return std::nullopt;
  }
  return ArgbImage(surface, width, height);
}

ArgbImage::ArgbImage(cairo_surface_t* surface, int width, int height)
    : surface_(surface),
      width_(width),
      height_(height),
      stride_words_(cairo_image_surface_get_stride(surface) / 4) {}

ArgbImage::ArgbImage(ArgbImage&& other) noexcept
    : surface_(std::exchange(other.surface_, nullptr)),
      width_(std::exchange(other.width_, 0)),
      height_(std::exchange(other.height_, 0)),
      stride_words_(std::exchange(other.stride_words_, 0)) {}

ArgbImage& ArgbImage::operator=(ArgbImage&& other) noexcept {
  if (this != &other) {
    if (surface_ != nullptr) cairo_surface_destroy(surface_);
    surface_ = std::exchange(other.surface_, nullptr);
    width_ = std::exchange(other.width_, 0);
    height_ = std::exchange(other.height_, 0);
    stride_words_ = std::exchange(other.stride_words_, 0);
  }
  return *this;
}

ArgbImage::~ArgbImage() {
  if (surface_ != nullptr) cairo_surface_destroy(surface_);
}

const std::uint32_t* ArgbImage::Row(int y) const {
  // cairo's stride is a multiple of 4 bytes, and the data is word-aligned.
  return reinterpret_cast<const std::uint32_t*>(cairo_image_surface_get_data(surface_)) +
         static_cast<std::ptrdiff_t>(y) * stride_words_;
}

std::uint32_t* ArgbImage::MutableRow(int y) {
  return reinterpret_cast<std::uint32_t*>(cairo_image_surface_get_data(surface_)) +
         static_cast<std::ptrdiff_t>(y) * stride_words_;
}

void ArgbImage::MarkDirty() { cairo_surface_mark_dirty(surface_); }

void ArgbImage::Flush() const { cairo_surface_flush(surface_); }

}  // namespace korvan
