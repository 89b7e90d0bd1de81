#include "server/content_steering.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace korvan::server {

namespace {

std::string LowerMediaType(std::string_view value) {
  const auto end = value.find(';');
  std::string_view type = value.substr(0, end);
  while (!type.empty() && (type.front() == ' ' || type.front() == '\t')) type.remove_prefix(1);
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.remove_suffix(1);
  std::string out(type);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool StartsWith(std::span<const std::uint8_t> bytes, std::string_view prefix) {
  return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin(),
                                                     [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
}

bool NoBodyStatus(unsigned status) { return status < 200 || status == 204 || status == 304; }

// A GIF that the client could shrink: small enough to travel in one frame
// with its header, big enough to be worth it.
bool GifOfferFits(const AnswerFacts& facts) {
  return facts.content_length && *facts.content_length >= kMinGifOfferBody &&
         *facts.content_length <= kMaxGifOfferResponse && facts.header_size + *facts.content_length <= kMaxGifOfferResponse;
}

bool JpegFits(const AnswerFacts& facts) {
  return facts.content_length && *facts.content_length > 0 && *facts.content_length <= kMaxJpegBody;
}

// Pictures and movies are only looked at in plain 200 answers, never in text.
bool MaySniff(const AnswerFacts& facts) {
  return facts.status == 200 && facts.kind != MediaKind::kText && facts.kind != MediaKind::kHtml;
}

}  // namespace

MediaKind KindOfContentType(std::string_view content_type) {
  const std::string type = LowerMediaType(content_type);
  if (type == "image/gif") return MediaKind::kGif;
  if (type == "image/jpeg" || type == "image/jpg" || type == "image/pjpeg") return MediaKind::kJpeg;
  if (type == "text/html") return MediaKind::kHtml;
  if (type == "application/x-shockwave-flash") return MediaKind::kFlash;
  if (type.rfind("text/", 0) == 0) return MediaKind::kText;
  return MediaKind::kOther;
}

std::optional<PixelSize> ReadGifScreen(std::span<const std::uint8_t> body_start) {
  if (body_start.size() < 10 || !(StartsWith(body_start, "GIF87a") || StartsWith(body_start, "GIF89a"))) {
    return std::nullopt;
  }
  return PixelSize{static_cast<std::uint16_t>(body_start[6] | body_start[7] << 8),
                   static_cast<std::uint16_t>(body_start[8] | body_start[9] << 8)};
}

bool HasFlashSignature(std::span<const std::uint8_t> body_start) {
  return StartsWith(body_start, "FWS") || StartsWith(body_start, "CWS") || StartsWith(body_start, "ZWS");
}

int BannerIndexFor(PixelSize size, std::uint16_t filter_word) {
  for (int k = 1; k <= kBannerSizeCount; ++k) {
    const BannerSize& banner = BannerSizes[static_cast<std::size_t>(k)];
    if (banner.width == size.width && banner.height == size.height && (filter_word & (1u << (k - 1))) != 0) return k;
  }
  return 0;
}

int JpegQualityForLevel(int level) {
  level = std::clamp(level, 0, 14);
  return 20 + (level * 65 + 7) / 14;
}

PixelSize GifTargetSize(PixelSize original, int level) {
  level = std::clamp(level, 0, 15);
  const auto scale = [level](std::uint16_t side) {
    const std::uint32_t scaled = (static_cast<std::uint32_t>(side) * static_cast<std::uint32_t>(15 + level) + 15) / 30;
    return static_cast<std::uint16_t>(std::max<std::uint32_t>(1, scaled));
  };
  return {scale(original.width), scale(original.height)};
}

bool MayAct(const AnswerFacts& facts, const SteeringChoices& choices) {
  if (facts.head_request || facts.encoded || NoBodyStatus(facts.status)) return false;
  if (facts.kind == MediaKind::kHtml && choices.optimises_html()) return true;
  if (!MaySniff(facts)) return false;
  if (choices.blocks_banners() || choices.blocks_flash()) return true;
  if (facts.kind == MediaKind::kJpeg && choices.recompresses_jpeg() && JpegFits(facts)) return true;
  return choices.shrinks_gif() && (facts.kind == MediaKind::kGif || facts.kind == MediaKind::kOther) &&
         GifOfferFits(facts);
}

std::size_t CaptureLimit(const AnswerFacts& facts, const SteeringChoices& choices) {
  if (!MayAct(facts, choices)) return 0;
  std::uint64_t limit = kSniffBytes;
  if (facts.kind == MediaKind::kHtml) limit = std::max(limit, kMaxHtmlBody);
  if (facts.kind == MediaKind::kJpeg && choices.recompresses_jpeg() && JpegFits(facts)) {
    limit = std::max(limit, *facts.content_length);
  }
  if (choices.shrinks_gif() && GifOfferFits(facts)) limit = std::max(limit, *facts.content_length);
  return static_cast<std::size_t>(limit);
}

Verdict Decide(const AnswerFacts& facts, const SteeringChoices& choices, std::span<const std::uint8_t> body_start) {
  if (!MayAct(facts, choices)) return {};
  if (MaySniff(facts)) {
    if (choices.blocks_flash() && (facts.kind == MediaKind::kFlash || HasFlashSignature(body_start))) {
      return {Action::kBlockFlash, 0, {}};
    }
    const auto screen = ReadGifScreen(body_start);
    if (screen) {
      if (const int k = BannerIndexFor(*screen, choices.filter_word); k > 0) return {Action::kBlockBanner, k, {}};
    }
    if (facts.kind == MediaKind::kJpeg && choices.recompresses_jpeg() && JpegFits(facts)) {
      return {Action::kRecompressJpeg, 0, {}};
    }
    if (screen && screen->width > 0 && screen->height > 0 && choices.shrinks_gif() && GifOfferFits(facts)) {
      const PixelSize target = GifTargetSize(*screen, choices.gif_level);
      if (target != *screen) return {Action::kOfferGif, 0, target};
    }
  }
  if (facts.kind == MediaKind::kHtml && choices.optimises_html()) return {Action::kOptimiseHtml, 0, {}};
  return {};
}

}  // namespace korvan::server
