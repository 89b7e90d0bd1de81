// The local GIF recompression: the codec's limits, the resize and
// re-palettising, transparency, and the mended HTTP framing around it.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "response/gif_compress.h"
#include "response/gif_response.h"
#include "tests/response/gif_test_files.h"
#include "tests/support/test_paths.h"

namespace korvan {
namespace {

using test::AsText;
using test::Payload;
using test::ReadBack;
using test::SimpleGif;
using test::WriteTestGif;

const GifColor kBlack{0, 0, 0};
const GifColor kWhite{255, 255, 255};
const GifColor kGrey{128, 128, 128};
const GifColor kRed{255, 0, 0};

std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Vertical stripes one pixel wide, black and white.
std::string StripesGif(int width, int height, std::optional<int> transparent = std::nullopt) {
  std::vector<std::uint8_t> pixels;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) pixels.push_back(static_cast<std::uint8_t>(x % 2));
  }
  return WriteTestGif(SimpleGif(width, height, {kBlack, kWhite, kGrey, kRed}, pixels, transparent));
}

// A left-to-right gradient of 16 greys, 16 pixels wide.
std::string GradientGif(int height) {
  std::vector<GifColor> palette;
  for (int i = 0; i < 16; ++i) palette.push_back(GifColor{static_cast<std::uint8_t>(i * 17), static_cast<std::uint8_t>(i * 17), static_cast<std::uint8_t>(i * 17)});
  std::vector<std::uint8_t> pixels;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < 16; ++x) pixels.push_back(static_cast<std::uint8_t>(x));
  }
  return WriteTestGif(SimpleGif(16, height, palette, pixels));
}

std::string Response(const std::string& headers, const std::string& body) {
  return "HTTP/1.1 200 OK\r\n" + headers + "\r\n" + body;
}

std::string BodyOf(const std::string& response) {
  const std::size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : response.substr(end + 4);
}

std::string Recompress(int width, int height, const std::string& response) {
  return AsText(RecompressGifResponse(Payload(width, height, response)));
}

// Colour changes from one pixel to the next along each row, summed.
int RowTransitions(const test::ReadBackGif& gif) {
  int changes = 0;
  for (int y = 0; y < gif.frame_height; ++y) {
    for (int x = 1; x < gif.frame_width; ++x) {
      const std::size_t i = static_cast<std::size_t>(y * gif.frame_width + x);
      if (!(gif.palette[gif.pixels[i]] == gif.palette[gif.pixels[i - 1]])) ++changes;
    }
  }
  return changes;
}

std::set<std::uint8_t> IndicesUsed(const test::ReadBackGif& gif) {
  return std::set<std::uint8_t>(gif.pixels.begin(), gif.pixels.end());
}

// --- the codec ---------------------------------------------------------

TEST(GifCodec, DecodesWhatGiflibWroteAndWritesWhatGiflibReads) {
  test::TestGif spec = SimpleGif(5, 3, {kBlack, kWhite, kRed}, {0, 1, 2, 1, 0, 2, 2, 2, 1, 1, 0, 0, 0, 0, 2}, 1);
  spec.frames[0].disposal = 2;
  const auto image = DecodeGif(Bytes(WriteTestGif(spec)), GifFrames::kAll);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 5);
  EXPECT_EQ(image->height, 3);
  ASSERT_EQ(image->frames.size(), 1u);
  EXPECT_EQ(image->frames[0].pixels, spec.frames[0].pixels);
  EXPECT_EQ(image->palette.size(), 4u);
  ASSERT_TRUE(image->frames[0].control);
  EXPECT_TRUE(image->frames[0].control->transparent);
  EXPECT_EQ(image->frames[0].control->transparent_index, 1);
  EXPECT_EQ(image->frames[0].control->disposal, 2);

  const auto again = ReadBack(AsText(EncodeGif(*image)));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->pixels, spec.frames[0].pixels);
  EXPECT_EQ(again->transparent, 1);
  EXPECT_EQ(again->disposal, 2);
}

TEST(GifCodec, InterlacedFramesComeOutInRowOrder) {
  std::vector<std::uint8_t> pixels;
  for (int y = 0; y < 11; ++y) {
    for (int x = 0; x < 3; ++x) pixels.push_back(static_cast<std::uint8_t>(y % 4));
  }
  test::TestGif spec = SimpleGif(3, 11, {kBlack, kWhite, kRed, kGrey}, pixels);
  spec.frames[0].interlaced = true;
  const auto image = DecodeGif(Bytes(WriteTestGif(spec)));
  ASSERT_TRUE(image);
  EXPECT_TRUE(image->frames[0].interlaced);
  EXPECT_EQ(image->frames[0].pixels, pixels);
}

TEST(GifCodec, OnlyTheFirstFramesPixelsUnlessAskedForAll) {
  test::TestGif spec = SimpleGif(2, 2, {kBlack, kWhite}, {0, 1, 1, 0});
  test::TestFrame second = spec.frames[0];
  second.pixels = {1, 1, 1, 1};
  second.palette = {kRed, kGrey, kBlack, kWhite};
  spec.frames.push_back(second);
  const std::string file = WriteTestGif(spec);
  const auto first_only = DecodeGif(Bytes(file));
  ASSERT_TRUE(first_only);
  ASSERT_EQ(first_only->frames.size(), 2u);
  EXPECT_EQ(first_only->frames[0].pixels.size(), 4u);
  EXPECT_TRUE(first_only->frames[1].pixels.empty());
  EXPECT_EQ(GifBitsPerPixel(*first_only), 2) << "a later frame's larger table counts";
  const auto all = DecodeGif(Bytes(file), GifFrames::kAll);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->frames[1].pixels, second.pixels);
}

TEST(GifCodec, RefusesDamagedTruncatedAndGiantPictures) {
  const std::string good = StripesGif(40, 30);
  ASSERT_TRUE(DecodeGif(Bytes(good)));
  EXPECT_FALSE(DecodeGif(Bytes(good.substr(0, good.size() / 2)))) << "cut in the pixel data";
  EXPECT_FALSE(DecodeGif(Bytes(good.substr(0, good.size() - 1)))) << "no trailer";
  EXPECT_FALSE(DecodeGif(Bytes(good.substr(0, 10))));
  EXPECT_FALSE(DecodeGif(Bytes(std::string("GIF89a"))));
  EXPECT_FALSE(DecodeGif(Bytes(std::string("not a picture at all"))));
  std::string bad_record = good;
  // The byte after the global table and the image descriptor's start: an
  // unknown record type.
  bad_record[13 + 3 * 4] = 'Z';
  EXPECT_FALSE(DecodeGif(Bytes(bad_record)));

  // Logical screen beyond the limits: refused from the header alone.
  std::string wide = good;
  wide[6] = static_cast<char>(8193 & 0xFF);
  wide[7] = static_cast<char>(8193 >> 8);
  EXPECT_FALSE(DecodeGif(Bytes(wide)));
  std::string big = good;  // 5000 x 5000: each side allowed, the area not
  big[6] = big[8] = static_cast<char>(5000 & 0xFF);
  big[7] = big[9] = static_cast<char>(5000 >> 8);
  EXPECT_FALSE(DecodeGif(Bytes(big)));
  // A frame beyond the limits on a small screen.
  test::TestGif giant_frame = SimpleGif(4, 4, {kBlack, kWhite}, std::vector<std::uint8_t>(9000, 0));
  giant_frame.frames[0].width = 9000;
  giant_frame.frames[0].height = 1;
  EXPECT_FALSE(DecodeGif(Bytes(WriteTestGif(giant_frame))));
  GifLimits tight;
  tight.max_side = 39;
  EXPECT_FALSE(DecodeGif(Bytes(good), GifFrames::kFirst, tight));
}

// --- the resize --------------------------------------------------------

TEST(GifCompress, TransparentIndexMadeUnique) {
  std::vector<GifColor> palette = {{10, 20, 254}, kWhite, {10, 20, 254}, {11, 21, 255}};
  gif_compress::MakeTransparentUnique(palette, 2);
  // (10,20,254) -> (11,21,255) is taken by entry 3 -> (12,22,255).
  EXPECT_EQ(palette[2], (GifColor{12, 22, 255}));
  EXPECT_EQ(palette.size(), 4u);

  std::vector<GifColor> whites = {kWhite, kWhite};
  gif_compress::MakeTransparentUnique(whites, 1);
  EXPECT_EQ(whites[1], (GifColor{1, 1, 1})) << "white turns black, then steps up";

  std::vector<GifColor> short_table = {kBlack, kRed};
  gif_compress::MakeTransparentUnique(short_table, 4);
  ASSERT_EQ(short_table.size(), 5u) << "grown to hold t";
  for (std::size_t j = 0; j < 4; ++j) EXPECT_FALSE(short_table[j] == short_table[4]);

  std::vector<GifColor> greys;  // every grey a step can reach: no way out
  for (int i = 0; i < 256; ++i) greys.push_back(GifColor{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i)});
  greys[0] = greys[200];
  gif_compress::MakeTransparentUnique(greys, 0);  // ends
  EXPECT_EQ(greys.size(), 256u);
}

TEST(GifCompress, StuckiSpreadsTheErrorWhereNearestCannot) {
  auto grey = ArgbImage::Create(40, 20);
  ASSERT_TRUE(grey);
  for (int y = 0; y < 20; ++y) std::fill_n(grey->MutableRow(y), 40, 0xFF808080u);
  grey->MarkDirty();
  const std::vector<GifColor> bw = {kBlack, kWhite};
  const auto nearest = gif_compress::MapToPalette(*grey, bw, -1, false);
  const auto dithered = gif_compress::MapToPalette(*grey, bw, -1, true);
  EXPECT_EQ(std::set<std::uint8_t>(nearest.begin(), nearest.end()).size(), 1u);
  const auto whites = std::count(dithered.begin(), dithered.end(), 1);
  EXPECT_NEAR(static_cast<double>(whites) / dithered.size(), 128.0 / 255.0, 0.03);
  // The opaque pixels never take the transparent entry, however near it is.
  const std::vector<GifColor> near_t = {kBlack, {128, 128, 128}, kWhite};
  const auto kept = gif_compress::MapToPalette(*grey, near_t, 1, false);
  EXPECT_EQ(std::count(kept.begin(), kept.end(), 1), 0);
}

TEST(GifCompress, FirstFrameDrawnAtItsOffsetOverTheBackground) {
  test::TestGif spec;
  spec.width = 4;
  spec.height = 3;
  spec.background = 2;
  spec.palette = {kBlack, kWhite, kRed, kGrey};
  test::TestFrame frame;
  frame.left = 1;
  frame.top = 1;
  frame.width = 2;
  frame.height = 2;
  frame.pixels = {0, 1, 3, 0};
  spec.frames.push_back(frame);
  auto image = DecodeGif(Bytes(WriteTestGif(spec)));
  ASSERT_TRUE(image);
  const auto opaque = gif_compress::RenderFirstFrame(*image, image->palette, -1);
  ASSERT_TRUE(opaque);
  EXPECT_EQ(opaque->Pixel(0, 0), 0xFFFF0000u) << "background colour outside the frame";
  EXPECT_EQ(opaque->Pixel(1, 1), 0xFF000000u);
  EXPECT_EQ(opaque->Pixel(2, 1), 0xFFFFFFFFu);
  EXPECT_EQ(opaque->Pixel(1, 2), 0xFF808080u);
  EXPECT_EQ(opaque->Pixel(3, 2), 0xFFFF0000u);
  const auto see_through = gif_compress::RenderFirstFrame(*image, image->palette, 0);
  ASSERT_TRUE(see_through);
  EXPECT_EQ(see_through->Pixel(0, 0), 0u);
  EXPECT_EQ(see_through->Pixel(1, 1), 0u) << "index 0 is transparent";
  EXPECT_EQ(see_through->Pixel(2, 1), 0xFFFFFFFFu);
}

TEST(GifCompress, ShrinkingMapsToTheSourcePaletteWithoutDither) {
  const std::string file = GradientGif(8);
  auto image = DecodeGif(Bytes(file));
  ASSERT_TRUE(image);
  TGifCompress compress;
  ASSERT_TRUE(compress.Recompress(*image, 8, 4));
  const auto out = ReadBack(AsText(EncodeGif(*image)));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->width, 8);
  EXPECT_EQ(out->height, 4);
  EXPECT_EQ(out->palette.size(), 16u) << "the source's 4 bits";
  // Rows are alike and the greys rise left to right: no dither noise.
  for (int y = 1; y < 4; ++y) {
    for (int x = 0; x < 8; ++x) EXPECT_EQ(out->pixels[static_cast<std::size_t>(y * 8 + x)], out->pixels[static_cast<std::size_t>(x)]);
  }
  for (int x = 1; x < 8; ++x) EXPECT_GT(out->palette[out->pixels[static_cast<std::size_t>(x)]].r, out->palette[out->pixels[static_cast<std::size_t>(x - 1)]].r);
}

TEST(GifCompress, EnlargingInOneDirectionDithers) {
  // Black and white halves, 2 x 8: wider and lower gives a bilinear ramp
  // between them that only dithering can show with two colours.
  std::vector<std::uint8_t> pixels;
  for (int y = 0; y < 8; ++y) {
    pixels.push_back(0);
    pixels.push_back(1);
  }
  const std::string file = WriteTestGif(SimpleGif(2, 8, {kBlack, kWhite}, pixels));
  auto enlarged = DecodeGif(Bytes(file));
  ASSERT_TRUE(enlarged);
  TGifCompress compress;
  ASSERT_TRUE(compress.Recompress(*enlarged, 64, 4));
  const auto out = ReadBack(AsText(EncodeGif(*enlarged)));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->palette.size(), 256u) << "8 bits when enlarged";
  EXPECT_EQ(IndicesUsed(*out), (std::set<std::uint8_t>{0, 1})) << "only the source's colours";
  // Nearest mapping would change colour once per row.
  EXPECT_GT(RowTransitions(*out), 4 * 4);

  // The same picture shrunk in both directions: nearest mapping, one change.
  auto shrunk = DecodeGif(Bytes(file));
  ASSERT_TRUE(shrunk);
  ASSERT_TRUE(compress.Recompress(*shrunk, 2, 4));
  const auto plain = ReadBack(AsText(EncodeGif(*shrunk)));
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->palette.size(), 2u);
  EXPECT_EQ(RowTransitions(*plain), 4);
}

TEST(GifCompress, OpaquePicturesAreFilteredBilinearly) {
  auto image = DecodeGif(Bytes(StripesGif(8, 4)));
  ASSERT_TRUE(image);
  TGifCompress compress;
  ASSERT_TRUE(compress.Recompress(*image, 4, 2));
  const auto out = ReadBack(AsText(EncodeGif(*image)));
  ASSERT_TRUE(out);
  // Black and white stripes averaged: the grey entry.
  EXPECT_TRUE(IndicesUsed(*out).count(2)) << "bilinear mixes the stripes";
  EXPECT_FALSE(out->has_control);
}

TEST(GifCompress, TransparentPicturesKeepIndexTAndUseNearestNeighbour) {
  // Stripes of black and white, with index 3 transparent in the first row,
  // entry 3 the same colour as entry 0.
  std::vector<std::uint8_t> pixels;
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 8; ++x) pixels.push_back(y < 2 ? 3 : static_cast<std::uint8_t>(x % 2));
  }
  test::TestGif spec = SimpleGif(8, 4, {kBlack, kWhite, kGrey, kBlack}, pixels, 3);
  spec.frames[0].disposal = 1;
  spec.frames[0].user_input = true;
  auto image = DecodeGif(Bytes(WriteTestGif(spec)));
  ASSERT_TRUE(image);
  TGifCompress compress;
  ASSERT_TRUE(compress.Recompress(*image, 4, 2));
  const auto out = ReadBack(AsText(EncodeGif(*image)));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->transparent, 3) << "the index stays t";
  EXPECT_EQ(out->disposal, 1);
  EXPECT_TRUE(out->user_input);
  for (int x = 0; x < 4; ++x) EXPECT_EQ(out->pixels[static_cast<std::size_t>(x)], 3) << "transparent row";
  for (int x = 0; x < 4; ++x) {
    const std::uint8_t index = out->pixels[static_cast<std::size_t>(4 + x)];
    EXPECT_TRUE(index == 0 || index == 1) << "no bilinear grey, no transparency: " << int(index);
  }
  for (std::size_t j = 0; j < 3; ++j) EXPECT_FALSE(out->palette[j] == out->palette[3]) << "entry t unique";
}

TEST(GifCompress, TransparentIndexBeyondTheTable) {
  auto image = DecodeGif(Bytes(StripesGif(8, 4, 5)));
  ASSERT_TRUE(image);
  TGifCompress compress;
  ASSERT_TRUE(compress.Recompress(*image, 4, 4));
  const auto out = ReadBack(AsText(EncodeGif(*image)));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->transparent, 5);
  EXPECT_GE(out->palette.size(), 6u);
  EXPECT_FALSE(IndicesUsed(*out).count(5)) << "no pixel of the source was transparent";
}

TEST(GifCompress, ControlWithoutTransparencyKeepsItsFlagsWhenItsIndexFits) {
  // giflib writes index 255 into a control block without transparency: it
  // is carried over only when the table has that entry.
  std::vector<GifColor> full(256, kBlack);
  full[1] = kWhite;
  test::TestGif spec = SimpleGif(4, 4, full, std::vector<std::uint8_t>(16, 1), -1);
  spec.frames[0].disposal = 2;
  auto image = DecodeGif(Bytes(WriteTestGif(spec)));
  ASSERT_TRUE(image);
  TGifCompress compress;
  ASSERT_TRUE(compress.Recompress(*image, 2, 2));
  const auto out = ReadBack(AsText(EncodeGif(*image)));
  ASSERT_TRUE(out);
  EXPECT_TRUE(out->has_control);
  EXPECT_EQ(out->transparent, -1);
  EXPECT_EQ(out->disposal, 2);

  spec.palette = {kBlack, kWhite};
  image = DecodeGif(Bytes(WriteTestGif(spec)));
  ASSERT_TRUE(image);
  ASSERT_TRUE(compress.Recompress(*image, 2, 2));
  const auto small = ReadBack(AsText(EncodeGif(*image)));
  ASSERT_TRUE(small);
  EXPECT_FALSE(small->has_control);
}

TEST(GifCompress, AnimationBecomesItsFirstFrameStill) {
  test::TestGif spec = SimpleGif(6, 6, {kBlack, kWhite, kRed, kGrey}, std::vector<std::uint8_t>(36, 2));
  for (const std::uint8_t colour : {0, 1, 3}) {
    test::TestFrame next = spec.frames[0];
    next.pixels.assign(36, colour);
    spec.frames.push_back(next);
  }
  auto image = DecodeGif(Bytes(WriteTestGif(spec)));
  ASSERT_TRUE(image);
  ASSERT_EQ(image->frames.size(), 4u);
  TGifCompress compress;
  ASSERT_TRUE(compress.Recompress(*image, 3, 3));
  const auto out = ReadBack(AsText(EncodeGif(*image)));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->frames, 1);
  EXPECT_EQ(IndicesUsed(*out), std::set<std::uint8_t>{2});
}

TEST(GifCompress, RefusesEmptyAndOversizedTargets) {
  auto image = DecodeGif(Bytes(StripesGif(8, 4)));
  ASSERT_TRUE(image);
  TGifCompress compress;
  EXPECT_FALSE(compress.Recompress(*image, 0, 5));
  EXPECT_FALSE(compress.Recompress(*image, 5, -1));
  EXPECT_FALSE(compress.Recompress(*image, 8193, 2));
  EXPECT_FALSE(compress.Recompress(*image, 8000, 8000));
  EXPECT_EQ(image->width, 8) << "left as it was";
}

// --- the response ------------------------------------------------------

TEST(GifResponse, ContentLengthReplacedInPlace) {
  const std::string response = Response(
      "Content-Type: image/gif\r\ncontent-length: 999\r\nX-After: kept\r\n", StripesGif(20, 10));
  const std::string out = Recompress(10, 5, response);
  const std::string body = BodyOf(out);
  ASSERT_FALSE(body.empty());
  EXPECT_EQ(out.substr(0, out.size() - body.size()),
            "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Length:" + std::to_string(body.size()) +
                "\r\nX-After: kept\r\n\r\n");
  const auto gif = ReadBack(body);
  ASSERT_TRUE(gif);
  EXPECT_EQ(gif->width, 10);
  EXPECT_EQ(gif->height, 5);
}

TEST(GifResponse, OneChunkAndManyChunksGiveTheSameFraming) {
  const std::string file = StripesGif(30, 12);
  const std::string header = "Transfer-Encoding: chunked\r\n";
  char size[16];
  std::snprintf(size, sizeof size, "%zx", file.size());
  const std::string one = Recompress(15, 6, Response(header, std::string(size) + "\r\n" + file + "\r\n0\r\n\r\n"));

  std::string chunks;
  for (std::size_t at = 0; at < file.size(); at += 7) {
    const std::string part = file.substr(at, 7);
    std::snprintf(size, sizeof size, "%X", static_cast<unsigned>(part.size()));
    chunks += std::string(size) + (at == 0 ? ";name=value" : "") + "\r\n" + part + "\r\n";
  }
  const std::string many = Recompress(15, 6, Response(header, chunks + "0\r\nX-Trailer: yes\r\n\r\n"));
  EXPECT_EQ(one, many) << "every chunk is read, extensions and trailers ignored";

  const std::string body = BodyOf(one);
  const std::size_t line_end = body.find("\r\n");
  ASSERT_NE(line_end, std::string::npos);
  const std::string size_line = body.substr(0, line_end);
  EXPECT_GE(size_line.size(), 4u);
  EXPECT_EQ(size_line.find_first_not_of("0123456789abcdef"), std::string::npos) << size_line;
  const std::string closing = "\r\n0\r\n\r\n";
  ASSERT_GT(body.size(), line_end + 2 + closing.size());
  EXPECT_EQ(body.substr(body.size() - closing.size()), closing);
  const std::string picture = body.substr(line_end + 2, body.size() - line_end - 2 - closing.size());
  EXPECT_EQ(std::stoul(size_line, nullptr, 16), picture.size());
  const auto gif = ReadBack(picture);
  ASSERT_TRUE(gif);
  EXPECT_EQ(gif->width, 15);
  EXPECT_EQ(gif->height, 6);
}

// Both headers: the chunks are what the browser reads, so they are rebuilt
// and the stale length goes.
TEST(GifResponse, ChunkedWithAContentLengthKeepsItsChunks) {
  const std::string file = StripesGif(30, 12);
  char size[16];
  std::snprintf(size, sizeof size, "%zx", file.size());
  const std::string chunked = "Transfer-Encoding: chunked\r\n";
  const std::string plain = Recompress(15, 6, Response(chunked, std::string(size) + "\r\n" + file + "\r\n0\r\n\r\n"));
  const std::string both = Recompress(
      15, 6, Response("Content-Length: 5\r\n" + chunked, std::string(size) + "\r\n" + file + "\r\n0\r\n\r\n"));
  EXPECT_EQ(both, plain);
  EXPECT_EQ(both.find("Content-Length"), std::string::npos);
}

TEST(GifResponse, NeitherHeaderLeavesTheHeaderAsItIs) {
  const std::string header = "HTTP/1.0 200 OK\r\nContent-Type: image/gif\r\n\r\n";
  const std::string out = Recompress(4, 4, header + StripesGif(8, 8));
  ASSERT_EQ(out.substr(0, header.size()), header);
  const auto gif = ReadBack(out.substr(header.size()));
  ASSERT_TRUE(gif);
  EXPECT_EQ(gif->width, 4);
}

TEST(GifResponse, FailuresComeBackUnchanged) {
  const std::string file = StripesGif(20, 10);
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
  std::string damaged = file;
  for (std::size_t i = 30; i < damaged.size() - 1; i += 3) damaged[i] = static_cast<char>(0xFF);
  std::string giant = file;
  giant[6] = giant[8] = static_cast<char>(0xFF);
  giant[7] = giant[9] = static_cast<char>(0x7F);
  const std::vector<std::string> responses = {
      head + damaged,
      head + file.substr(0, file.size() / 2),
      "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n" + file,  // no end of header
      head + giant,
      head + "GIF89a",
      head,
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n" + file + "\r\n0\r\n\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nfffffffffffffffffffff\r\n" + file,
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\n" + file.substr(0, 16),  // no last chunk
  };
  for (const std::string& response : responses) {
    EXPECT_EQ(Recompress(10, 5, response), response) << response.substr(0, 60);
  }
  EXPECT_EQ(Recompress(0, 5, head + file), head + file);
  EXPECT_EQ(Recompress(10, 0, head + file), head + file);
  EXPECT_EQ(Recompress(0xFFFF, 0xFFFF, head + file), head + file) << "target beyond the limits";
  const std::vector<std::uint8_t> short_payload = {20, 1, 0, 1};
  EXPECT_TRUE(RecompressGifResponse(short_payload).empty());
  EXPECT_TRUE(RecompressGifResponse({}).empty());
}

TEST(Dechunk, JoinsEveryChunk) {
  EXPECT_EQ(Dechunk("3\r\nabc\r\n2;x=y\r\nde\r\n0\r\n\r\n"), "abcde");
  EXPECT_EQ(Dechunk("3\nabc\n0\n"), "abc") << "bare line feeds";
  EXPECT_EQ(Dechunk("0\r\nTrailer: x\r\n\r\n"), "");
  EXPECT_EQ(Dechunk("a \r\n0123456789\r\n0\r\n"), "0123456789");
  EXPECT_FALSE(Dechunk("3\r\nab"));
  EXPECT_FALSE(Dechunk("3\r\nabcX0\r\n"));
  EXPECT_FALSE(Dechunk("3\r\nabc\r\n"));
  EXPECT_FALSE(Dechunk("g\r\n"));
  EXPECT_FALSE(Dechunk("\r\n"));
  EXPECT_FALSE(Dechunk("ffffffffffffffffffffffff\r\nabc"));
}

TEST(GifResponse, CorpusPicturesShrinkOrComeBackUnchanged) {
  KORVAN_SKIP_UNLESS_SHARED("corpus");
  const auto folder = test::SharedDir() / "corpus" / "gif";
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no gif folder in the shared corpus";
  int shrunk = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string file = test::ReadFileText(entry.path());
    const auto original = ReadBack(file);
    if (!original) continue;
    const int w = std::max(1, original->width * 3 / 4);
    const int h = std::max(1, original->height * 3 / 4);
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(file.size()) + "\r\n\r\n" + file;
    const std::string out = Recompress(w, h, response);
    const auto gif = ReadBack(BodyOf(out));
    ASSERT_TRUE(gif) << entry.path().filename();
    if (out == response) continue;
    ++shrunk;
    EXPECT_EQ(gif->width, w) << entry.path().filename();
    EXPECT_EQ(gif->height, h);
    EXPECT_EQ(gif->frames, 1);
  }
  EXPECT_GT(shrunk, 0);
}

}  // namespace
}  // namespace korvan
