// The proxy's content decisions, the level mappings, the HTML minifier and
// JPEG recompression, as pure functions.
#include <gtest/gtest.h>

#include <boost/beast/http.hpp>

#include <sstream>

#include "server/content_steering.h"
#include "server/html_optimiser.h"
#include "server/http_messages.h"
#include "server/jpeg_recompress.h"
#include "tests/server/pictures.h"

namespace korvan::server::test {
namespace {

std::span<const std::uint8_t> Span(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

AnswerFacts Facts(MediaKind kind, std::optional<std::uint64_t> length, unsigned status = 200) {
  AnswerFacts facts;
  facts.status = status;
  facts.kind = kind;
  facts.content_length = length;
  facts.header_size = 120;
  return facts;
}

SteeringChoices Choices(std::uint8_t picture, std::uint16_t filter) { return SteeringChoices::FromOpening(picture, filter); }

TEST(ContentKinds, ContentTypesAndSignaturesAreRecognised) {
  EXPECT_EQ(KindOfContentType("image/gif"), MediaKind::kGif);
  EXPECT_EQ(KindOfContentType(" Image/JPEG ; q=1"), MediaKind::kJpeg);
  EXPECT_EQ(KindOfContentType("text/html; charset=utf-8"), MediaKind::kHtml);
  EXPECT_EQ(KindOfContentType("application/x-shockwave-flash"), MediaKind::kFlash);
  EXPECT_EQ(KindOfContentType("text/css"), MediaKind::kText);
  EXPECT_EQ(KindOfContentType(""), MediaKind::kOther);

  const auto screen = ReadGifScreen(Span(MakeGifLike(468, 60, 10)));
  ASSERT_TRUE(screen);
  EXPECT_EQ(*screen, (PixelSize{468, 60}));
  EXPECT_TRUE(ReadGifScreen(Span(MakeGifLike(300, 250, 13).replace(3, 3, "87a"))));
  EXPECT_FALSE(ReadGifScreen(Span(MakeGifLike(468, 60, 13).replace(3, 3, "88a"))));
  EXPECT_FALSE(ReadGifScreen(Span(std::string("GIF89a\x01\x02\x03"))));  // 9 bytes: no height yet
  EXPECT_TRUE(HasFlashSignature(Span("CWS\x09")));
  EXPECT_TRUE(HasFlashSignature(Span("FWS")));
  EXPECT_FALSE(HasFlashSignature(Span("FW")));
}

TEST(ContentKinds, EveryBannerSizeMapsToItsIndexOnlyWithItsBit) {
  for (int k = 1; k <= kBannerSizeCount; ++k) {
    const auto bit = static_cast<std::uint16_t>(1u << (k - 1));
    const BannerSize& banner = BannerSizes[static_cast<std::size_t>(k)];
    const PixelSize size{static_cast<std::uint16_t>(banner.width), static_cast<std::uint16_t>(banner.height)};
    EXPECT_EQ(BannerIndexFor(size, bit), k);
    EXPECT_EQ(BannerIndexFor(size, static_cast<std::uint16_t>(0x3FFF & ~bit)), 0);
  }
  EXPECT_EQ(BannerIndexFor({88, 31}, 0x0010), 5);
  EXPECT_EQ(BannerIndexFor({60, 468}, 0x3FFF), 0);
  EXPECT_EQ(BannerIndexFor({468, 60}, 0xC000), 0);
}

TEST(LevelMappings, JpegQualityRisesWithTheLevel) {
  EXPECT_EQ(JpegQualityForLevel(0), 20);
  EXPECT_EQ(JpegQualityForLevel(7), 53);
  EXPECT_EQ(JpegQualityForLevel(14), 85);
  for (int level = 1; level <= 14; ++level) EXPECT_GT(JpegQualityForLevel(level), JpegQualityForLevel(level - 1));
}

TEST(LevelMappings, GifTargetScalesFromHalfTowardsFullSize) {
  EXPECT_EQ(GifTargetSize({468, 60}, 0), (PixelSize{234, 30}));
  EXPECT_EQ(GifTargetSize({300, 200}, 6), (PixelSize{210, 140}));
  EXPECT_EQ(GifTargetSize({1, 1}, 0), (PixelSize{1, 1}));
  EXPECT_EQ(GifTargetSize({65535, 3}, 0), (PixelSize{32768, 2}));
  EXPECT_EQ(GifTargetSize({30, 30}, 14), (PixelSize{29, 29}));
  for (int level = 1; level <= 14; ++level) {
    EXPECT_GE(GifTargetSize({640, 480}, level).width, GifTargetSize({640, 480}, level - 1).width);
  }
}

TEST(SteeringDecision, BannersAreBlockedBySizeAndBitOnly) {
  const std::string banner = MakeGifLike(468, 60, 10);
  const auto blocked = Decide(Facts(MediaKind::kGif, 4000), Choices(0xFF, 0x0001), Span(banner));
  EXPECT_EQ(blocked.action, Action::kBlockBanner);
  EXPECT_EQ(blocked.banner_index, 1);
  // The signature is enough, whatever the type says, except for text.
  EXPECT_EQ(Decide(Facts(MediaKind::kOther, std::nullopt), Choices(0xFF, 0x0001), Span(banner)).action,
            Action::kBlockBanner);
  EXPECT_EQ(Decide(Facts(MediaKind::kText, 4000), Choices(0xFF, 0x0001), Span(banner)).action, Action::kRelay);
  EXPECT_EQ(Decide(Facts(MediaKind::kGif, 4000), Choices(0xFF, 0x0002), Span(banner)).action, Action::kRelay);
  EXPECT_EQ(Decide(Facts(MediaKind::kGif, 4000, 404), Choices(0xFF, 0x0001), Span(banner)).action, Action::kRelay);
  // A GIF type without the signature is not looked at as a banner.
  EXPECT_EQ(Decide(Facts(MediaKind::kGif, 4000), Choices(0xFF, 0x3FFF), Span("not a gif!")).action, Action::kRelay);

  AnswerFacts head = Facts(MediaKind::kGif, 4000);
  head.head_request = true;
  EXPECT_FALSE(MayAct(head, Choices(0xFF, 0x0001)));
  AnswerFacts encoded = Facts(MediaKind::kGif, 4000);
  encoded.encoded = true;
  EXPECT_FALSE(MayAct(encoded, Choices(0xFF, 0x0001)));
}

TEST(SteeringDecision, FlashIsBlockedByTypeOrSignatureWithItsBit) {
  EXPECT_EQ(Decide(Facts(MediaKind::kFlash, 100), Choices(0xFF, 0x8000), Span("xxxxxxxxxx")).action,
            Action::kBlockFlash);
  EXPECT_EQ(Decide(Facts(MediaKind::kOther, 100), Choices(0xFF, 0x8000), Span("CWS\x0A......")).action,
            Action::kBlockFlash);
  EXPECT_EQ(Decide(Facts(MediaKind::kFlash, 100), Choices(0xFF, 0x7FFF), Span("FWS\x0A......")).action,
            Action::kRelay);
}

TEST(SteeringDecision, JpegsAreRecompressedOnlyWithAKnownBoundedLength) {
  const std::string start = "\xFF\xD8\xFF\xE0........";
  EXPECT_EQ(Decide(Facts(MediaKind::kJpeg, 50000), Choices(0xF3, 0), Span(start)).action, Action::kRecompressJpeg);
  EXPECT_EQ(Decide(Facts(MediaKind::kJpeg, 50000), Choices(0xFF, 0), Span(start)).action, Action::kRelay);
  EXPECT_EQ(Decide(Facts(MediaKind::kJpeg, std::nullopt), Choices(0xF3, 0), Span(start)).action, Action::kRelay);
  EXPECT_EQ(Decide(Facts(MediaKind::kJpeg, kMaxJpegBody + 1), Choices(0xF3, 0), Span(start)).action, Action::kRelay);
  EXPECT_EQ(CaptureLimit(Facts(MediaKind::kJpeg, 50000), Choices(0xF3, 0)), 50000u);
  EXPECT_EQ(CaptureLimit(Facts(MediaKind::kJpeg, 50000), Choices(0xFF, 0)), 0u);
}

TEST(SteeringDecision, GifsAreOfferedWhenTheyFitOneFrameAndWouldShrink) {
  const std::string gif = MakeGifLike(200, 100, 10);
  const auto offer = Decide(Facts(MediaKind::kGif, 5000), Choices(0x0F, 0), Span(gif));
  EXPECT_EQ(offer.action, Action::kOfferGif);
  EXPECT_EQ(offer.gif_target, (PixelSize{100, 50}));
  EXPECT_EQ(Decide(Facts(MediaKind::kGif, 5000), Choices(0xFF, 0), Span(gif)).action, Action::kRelay);
  EXPECT_EQ(Decide(Facts(MediaKind::kGif, kMinGifOfferBody - 1), Choices(0x0F, 0), Span(gif)).action,
            Action::kRelay);
  // Header and body together must leave room for the control bytes in one frame.
  EXPECT_EQ(Decide(Facts(MediaKind::kGif, kMaxGifOfferResponse - 120), Choices(0x0F, 0), Span(gif)).action,
            Action::kOfferGif);
  EXPECT_EQ(Decide(Facts(MediaKind::kGif, kMaxGifOfferResponse - 119), Choices(0x0F, 0), Span(gif)).action,
            Action::kRelay);
  // A size that the level would not change is relayed.
  EXPECT_EQ(Decide(Facts(MediaKind::kGif, 5000), Choices(0xE0, 0), Span(MakeGifLike(10, 10, 10))).action,
            Action::kRelay);
  // A blocked banner is never offered.
  EXPECT_EQ(Decide(Facts(MediaKind::kGif, 5000), Choices(0x0F, 0x0001), Span(MakeGifLike(468, 60, 10))).action,
            Action::kBlockBanner);
}

TEST(SteeringDecision, HtmlIsOptimisedWithItsBitExceptWithoutBody) {
  EXPECT_EQ(Decide(Facts(MediaKind::kHtml, 100), Choices(0xFF, 0x4000), {}).action, Action::kOptimiseHtml);
  EXPECT_EQ(Decide(Facts(MediaKind::kHtml, std::nullopt, 404), Choices(0xFF, 0x4000), {}).action,
            Action::kOptimiseHtml);
  EXPECT_EQ(Decide(Facts(MediaKind::kHtml, 100), Choices(0xFF, 0xBFFF), {}).action, Action::kRelay);
  EXPECT_FALSE(MayAct(Facts(MediaKind::kHtml, 0, 304), Choices(0xFF, 0x4000)));
  EXPECT_FALSE(MayAct(Facts(MediaKind::kHtml, 0, 204), Choices(0xFF, 0x4000)));
  EXPECT_FALSE(MayAct(Facts(MediaKind::kHtml, 0, 100), Choices(0xFF, 0x4000)));
  // The default choices leave every answer alone.
  EXPECT_FALSE(MayAct(Facts(MediaKind::kHtml, 100), SteeringChoices{}));
  EXPECT_FALSE(MayAct(Facts(MediaKind::kGif, 5000), SteeringChoices{}));
}

TEST(HtmlOptimiser, CommentsGoConditionalCommentsStay) {
  EXPECT_EQ(OptimiseHtml("<p>a<!-- note -->b</p>"), "<p>ab</p>");
  EXPECT_EQ(OptimiseHtml("<!--[if IE]><p>x</p><![endif]-->"), "<!--[if IE]><p>x</p><![endif]-->");
  EXPECT_EQ(OptimiseHtml("<!--[if !IE]><!--><p>y</p><!--<![endif]-->"),
            "<!--[if !IE]><!--><p>y</p><!--<![endif]-->");
  EXPECT_EQ(OptimiseHtml("a<!-->b<!--->c"), "abc");
  EXPECT_EQ(OptimiseHtml("x<!-- never closed  \n  "), "x<!-- never closed  \n  ");
}

TEST(HtmlOptimiser, WhitespaceRunsCollapseOutsideVerbatimContent) {
  EXPECT_EQ(OptimiseHtml("<ul>\n    <li>one</li>\n    <li>two  words</li>\n</ul>"),
            "<ul>\n<li>one</li>\n<li>two words</li>\n</ul>");
  EXPECT_EQ(OptimiseHtml("a b\tc"), "a b\tc");  // single characters stay as they are
  const std::string verbatim =
      "<pre>  keep\n\n  this <!-- too --></pre><SCRIPT type=x>if (a  <  b) {}  // <!-- x --></script >"
      "<style>\n  p  {}\n</style><textarea>  t  </textarea>";
  EXPECT_EQ(OptimiseHtml(verbatim), verbatim);
  EXPECT_EQ(OptimiseHtml("<div>  <script>  a  </scriptx>  b  </script>  </div>"),
            "<div> <script>  a  </scriptx>  b  </script> </div>");
}

TEST(HtmlOptimiser, TagsAndAttributeValuesAreNeverChanged) {
  const std::string tags = "<a title=\"two  spaces > and <!-- this -->\"  href='x  y'>t</a><img alt=a\"b  c>";
  EXPECT_EQ(OptimiseHtml(tags), tags);
  EXPECT_EQ(OptimiseHtml("<![CDATA[  a  <!-- b -->  ]]>"), "<![CDATA[  a  <!-- b -->  ]]>");
  EXPECT_EQ(OptimiseHtml("1  <  2 <b"), "1 < 2 <b");  // an unterminated tag is copied as it is
  EXPECT_EQ(OptimiseHtml("<plaintext>  <!-- kept -->  "), "<plaintext>  <!-- kept -->  ");
  EXPECT_TRUE(LooksLikeByteHtml("<html>"));
  EXPECT_FALSE(LooksLikeByteHtml(std::string("\xFF\xFE<\0h\0", 6)));
  EXPECT_FALSE(LooksLikeByteHtml(std::string("<\0h\0", 4)));
}

TEST(HtmlOptimiser, OutputIsNeverLongerOnArbitraryBytes) {
  std::string input;
  for (int i = 0; i < 5000; ++i) input += static_cast<char>("<>!-/ \n\"'=ab[]"[(i * 7919) % 15]);
  EXPECT_LE(OptimiseHtml(input).size(), input.size());
}

TEST(JpegRecompression, LowQualityIsSmallerAndKeepsThePixelSize) {
  const std::string original = MakeJpeg(320, 200, 95);
  const auto smaller = RecompressJpeg(Span(original), JpegQualityForLevel(0));
  ASSERT_TRUE(smaller);
  EXPECT_LT(smaller->bytes.size(), original.size() / 2);
  const auto size = ReadJpegSize(smaller->bytes);
  ASSERT_TRUE(size);
  EXPECT_EQ(size->width, 320u);
  EXPECT_EQ(size->height, 200u);
  // Higher levels keep more.
  const auto better = RecompressJpeg(Span(original), JpegQualityForLevel(14));
  ASSERT_TRUE(better);
  EXPECT_GT(better->bytes.size(), smaller->bytes.size());
}

TEST(JpegRecompression, NothingGainedOrNothingReadableGivesNothing) {
  const std::string poor = MakeJpeg(64, 64, 10);
  EXPECT_FALSE(RecompressJpeg(Span(poor), 95));  // would grow
  EXPECT_FALSE(RecompressJpeg(Span(std::string(5000, 'x')), 20));
  const std::string good = MakeJpeg(160, 120, 90);
  EXPECT_FALSE(RecompressJpeg(Span(good.substr(0, good.size() / 2)), 20));  // truncated
  std::string damaged = good;
  for (std::size_t i = 700; i < damaged.size() - 2; i += 97) damaged[i] = static_cast<char>(damaged[i] ^ 0x5A);
  const auto result = RecompressJpeg(Span(damaged), 20);  // may or may not decode; must not crash
  if (result) {
    EXPECT_LT(result->bytes.size(), damaged.size());
  }
  EXPECT_FALSE(ReadJpegSize(Span(std::string("\xFF\xD8\xFF"))));
}

// An APP1 Exif payload, little-endian, with a few entries around the
// orientation and a large blob standing for camera data and a thumbnail.
std::string ExifPayload(int orientation) {
  std::string e("Exif\0\0II*\0\x08\0\0\0", 14);
  e += std::string("\x03\0", 2);  // three entries
  const auto entry = [&e](std::uint16_t tag, std::uint16_t type, std::uint32_t value) {
    for (int i = 0; i < 2; ++i) e += static_cast<char>(tag >> (8 * i));
    for (int i = 0; i < 2; ++i) e += static_cast<char>(type >> (8 * i));
    e += std::string("\x01\0\0\0", 4);
    for (int i = 0; i < 4; ++i) e += static_cast<char>(value >> (8 * i));
  };
  entry(0x010F, 2, 0);  // make
  if (orientation > 0) entry(0x0112, 3, static_cast<std::uint32_t>(orientation));
  entry(0x0131, 2, 0);  // software
  e += std::string(4, '\0');
  e += std::string(6000, 'T');
  return e;
}

std::string WithApp1(const std::string& jpeg, const std::string& payload) {
  const std::size_t length = payload.size() + 2;
  std::string segment = "\xFF\xE1";
  segment += static_cast<char>(length >> 8);
  segment += static_cast<char>(length & 0xFF);
  return jpeg.substr(0, 2) + segment + payload + jpeg.substr(2);
}

// The APP1 payloads of a JPEG, up to its first scan.
std::vector<std::string> App1Payloads(std::span<const std::uint8_t> jpeg) {
  std::vector<std::string> found;
  std::size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
    const std::size_t length = static_cast<std::size_t>(jpeg[at + 2] << 8 | jpeg[at + 3]);
    if (jpeg[at + 1] == 0xE1) found.emplace_back(reinterpret_cast<const char*>(jpeg.data()) + at + 4, length - 2);
    at += 2 + length;
  }
  return found;
}

TEST(JpegRecompression, OnlyAnOrientationThatTurnsThePictureIsKept) {
  const std::string picture = MakeJpeg(320, 200, 95);
  for (int orientation : {6, 3}) {
    const auto out = RecompressJpeg(Span(WithApp1(picture, ExifPayload(orientation))), JpegQualityForLevel(3));
    ASSERT_TRUE(out);
    const auto app1 = App1Payloads(out->bytes);
    ASSERT_EQ(app1.size(), 1u);
    EXPECT_EQ(ExifOrientation(Span(app1[0])), orientation);
    EXPECT_LT(app1[0].size(), 64u) << "camera data and thumbnail stay behind";
  }
  for (int orientation : {0, 1}) {
    const auto out = RecompressJpeg(Span(WithApp1(picture, ExifPayload(orientation))), JpegQualityForLevel(3));
    ASSERT_TRUE(out);
    EXPECT_TRUE(App1Payloads(out->bytes).empty()) << orientation;
  }
}

TEST(JpegRecompression, ExifOrientationReadsBothByteOrdersAndNeverPastTheBlock) {
  EXPECT_EQ(ExifOrientation(Span(ExifPayload(8))), 8);
  const auto minimal = OrientationOnlyExif(5);  // big-endian
  EXPECT_EQ(ExifOrientation(minimal), 5);
  EXPECT_EQ(ExifOrientation(Span(ExifPayload(9))), 0) << "no such orientation";
  const std::string full = ExifPayload(6);
  for (std::size_t cut = 0; cut < 64; ++cut) {
    const int got = ExifOrientation(Span(full.substr(0, cut)));
    EXPECT_TRUE(got == 0 || got == 6) << cut;
  }
  std::string far = full;
  far[10] = '\x7F';  // IFD0 far past the end
  EXPECT_EQ(ExifOrientation(Span(far)), 0);
}

TEST(ResponseRewrite, ChunkedHeaderGetsALength) {
  namespace http = boost::beast::http;
  http::response_header<> header;
  header.result(http::status::ok);
  header.reason("Fine");
  header.set(http::field::content_type, "text/html");
  header.set(http::field::transfer_encoding, "chunked");
  header.set("X-Kept", "yes");
  const std::string text = ResponseHeaderWithLength(header, 1234);
  EXPECT_EQ(text.rfind("HTTP/1.1 200 Fine\r\n", 0), 0u) << text;
  EXPECT_NE(text.find("Content-Length: 1234\r\n"), std::string::npos);
  EXPECT_NE(text.find("X-Kept: yes\r\n"), std::string::npos);
  EXPECT_EQ(text.find("Transfer-Encoding"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n");
}

}  // namespace
}  // namespace korvan::server::test
