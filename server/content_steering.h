// What the HTTP proxy does with an origin's answer, given the user's picture
// levels and filter word: relay it, block it (banner, Flash), recompress a
// JPEG, hand a GIF to the client for shrinking, or optimise HTML.
//
// Pure functions over header facts and the first body bytes; no I/O, safe
// from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "wire/banner_sizes.h"
#include "wire/frame_format.h"

namespace korvan::server {

// The two steering values of the opening message.
struct SteeringChoices {
  std::uint8_t gif_level = 15;   // 0 strongest .. 15 leave alone
  std::uint8_t jpeg_level = 15;  // 0 strongest .. 15 leave alone
  std::uint16_t filter_word = 0;

  static SteeringChoices FromOpening(std::uint8_t picture_compression, std::uint16_t filter_word) {
    return {static_cast<std::uint8_t>(picture_compression >> 4), static_cast<std::uint8_t>(picture_compression & 0x0F),
            filter_word};
  }
  bool blocks_banners() const { return (filter_word & 0x3FFF) != 0; }
  bool blocks_flash() const { return (filter_word & 0x8000) != 0; }
  bool optimises_html() const { return (filter_word & 0x4000) != 0; }
  bool shrinks_gif() const { return gif_level < 15; }
  bool recompresses_jpeg() const { return jpeg_level < 15; }
};

struct PixelSize {
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  friend bool operator==(const PixelSize&, const PixelSize&) = default;
};


// Limits. Everything the proxy holds of one answer stays below these.
inline constexpr std::size_t kSniffBytes = 10;                 // GIF header up to the screen size
inline constexpr std::uint64_t kMaxJpegBody = 4 << 20;         // larger JPEGs stream unchanged
inline constexpr std::uint64_t kMaxHtmlBody = 512 << 10;       // larger pages stream unchanged
inline constexpr std::uint64_t kMinGifOfferBody = 1024;        // smaller GIFs are not worth a round of work
inline constexpr std::size_t kGifOfferOverhead = 7;            // kind, width, height, full size
inline constexpr std::size_t kMaxGifOfferResponse = kMaxRawBlock - kGifOfferOverhead;
inline constexpr std::uint64_t kMaxDiscardBytes = 1 << 20;     // beyond, a blocked answer's origin is closed

enum class MediaKind { kOther, kText, kGif, kJpeg, kHtml, kFlash };

// The kind named by a Content-Type value (parameters ignored, any case).
MediaKind KindOfContentType(std::string_view content_type);

// The logical screen size of a GIF, from its first 10 bytes; nullopt unless
// they start with GIF87a or GIF89a.
std::optional<PixelSize> ReadGifScreen(std::span<const std::uint8_t> body_start);
// FWS, CWS or ZWS: an uncompressed, zlib or LZMA Flash movie.
bool HasFlashSignature(std::span<const std::uint8_t> body_start);
// The banner index k (1..14) of `size` when its bit is set in `filter_word`, else 0.
int BannerIndexFor(PixelSize size, std::uint16_t filter_word);

// JPEG quality for levels 0..14: 20 + level x 65 / 14, rounded (0 -> 20,
// 7 -> 53, 14 -> 85). Monotone; level 15 means no recompression.
int JpegQualityForLevel(int level);
// Target size of a GIF that the client shrinks: each side scaled by
// 50 % + level x 50/15 % (level 0 halves, level 14 keeps 96.7 %), rounded,
// at least 1 pixel.
PixelSize GifTargetSize(PixelSize original, int level);

// What the proxy knows of an answer once its header is in.
struct AnswerFacts {
  unsigned status = 0;
  bool head_request = false;
  bool encoded = false;  // a content coding, or a transfer coding other than chunked
  MediaKind kind = MediaKind::kOther;
  std::optional<std::uint64_t> content_length;  // absent when chunked or ended by closing
  std::size_t header_size = 0;
};

// Whether the proxy holds any of this answer back at all; when false the
// answer streams exactly as it arrives.
bool MayAct(const AnswerFacts& facts, const SteeringChoices& choices);
// How many body bytes to keep while deciding and acting (the largest need
// of any action still possible after the header).
std::size_t CaptureLimit(const AnswerFacts& facts, const SteeringChoices& choices);

enum class Action { kRelay, kBlockBanner, kBlockFlash, kRecompressJpeg, kOfferGif, kOptimiseHtml };

struct Verdict {
  Action action = Action::kRelay;
  int banner_index = 0;  // for kBlockBanner
  PixelSize gif_target;  // for kOfferGif
};

// Decides with the first body bytes (up to kSniffBytes; fewer when the body is shorter).
Verdict Decide(const AnswerFacts& facts, const SteeringChoices& choices, std::span<const std::uint8_t> body_start);

// The 16-bit full size carried by ckBanner and ckRecompressGif.
inline std::uint16_t ClampedSize(std::uint64_t size) {
  return static_cast<std::uint16_t>(size > 0xFFFF ? 0xFFFF : size);
}

}  // namespace korvan::server
