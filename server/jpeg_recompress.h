// Re-encoding a JPEG at a lower quality for the proxy's JPEG level.
//
// The picture keeps its pixel size, its colour profile (APP2) and, when the
// Exif block (APP1) turns it, a minimal Exif block with that orientation
// alone: the rest of Exif (camera data, thumbnails) is bytes the viewer does
// not need on a slow link. It is written progressive with
// optimised Huffman tables. CMYK pictures, pictures larger than
// kMaxJpegPixels and anything libjpeg cannot read are refused, never
// guessed at. Pure function over its input; safe from any thread (libjpeg
// keeps all its state in the objects each call creates).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace korvan::server {

// Bounds the decoded picture (3 bytes per pixel) to 48 MiB per call.
inline constexpr std::uint64_t kMaxJpegPixels = 16u << 20;

struct JpegPicture {
  std::vector<std::uint8_t> bytes;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// The picture encoded at `quality` (1..100), or nullopt when `jpeg` cannot
// be decoded whole (a warning about corrupt data counts as failure), is
// refused, or does not come out smaller than it went in.
std::optional<JpegPicture> RecompressJpeg(std::span<const std::uint8_t> jpeg, int quality);

struct JpegSize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// The orientation tag (1 to 8) of an APP1 Exif block's payload (from
// "Exif\0\0" on), or 0 when it has none or cannot be read.
int ExifOrientation(std::span<const std::uint8_t> app1);
// An APP1 payload that says only `orientation`.
std::vector<std::uint8_t> OrientationOnlyExif(int orientation);

// Width and height from the header alone; nullopt for anything unreadable.
std::optional<JpegSize> ReadJpegSize(std::span<const std::uint8_t> jpeg);

}  // namespace korvan::server
