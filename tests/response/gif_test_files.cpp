#include "tests/response/gif_test_files.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace korvan::test {
namespace {

int Write(GifFileType* gif, const GifByteType* bytes, int length) {
  static_cast<std::string*>(gif->UserData)->append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
  return length;
}

struct Reader {
  std::string_view bytes;
  std::size_t pos = 0;
};

int Read(GifFileType* gif, GifByteType* out, int length) {
  auto* r = static_cast<Reader*>(gif->UserData);
  const std::size_t n = std::min(static_cast<std::size_t>(length), r->bytes.size() - r->pos);
  std::memcpy(out, r->bytes.data() + r->pos, n);
  r->pos += n;
  return static_cast<int>(n);
}

ColorMapObject* Map(const std::vector<GifColor>& palette) {
  if (palette.empty()) return nullptr;
  std::size_t size = 2;
  while (size < palette.size()) size *= 2;
  std::vector<GifColorType> colours(size);
  for (std::size_t i = 0; i < palette.size(); ++i) colours[i] = {palette[i].r, palette[i].g, palette[i].b};
  return GifMakeMapObject(static_cast<int>(size), colours.data());
}

}  // namespace

std::string WriteTestGif(const TestGif& spec) {
  std::string out;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, Write, &error);
  if (gif == nullptr) return {};
  gif->SWidth = spec.width;
  gif->SHeight = spec.height;
  gif->SColorResolution = 8;
  gif->SBackGroundColor = spec.background;
  gif->SColorMap = Map(spec.palette);
  for (const TestFrame& f : spec.frames) {
    SavedImage* image = GifMakeSavedImage(gif, nullptr);
    image->ImageDesc.Left = f.left;
    image->ImageDesc.Top = f.top;
    image->ImageDesc.Width = f.width;
    image->ImageDesc.Height = f.height;
    image->ImageDesc.Interlace = f.interlaced;
    image->ImageDesc.ColorMap = Map(f.palette);
    image->RasterBits = static_cast<GifByteType*>(std::malloc(f.pixels.size() + 1));
    std::memcpy(image->RasterBits, f.pixels.data(), f.pixels.size());
    if (f.transparent) {
      GraphicsControlBlock gcb{};
      gcb.DisposalMode = f.disposal;
      gcb.UserInputFlag = f.user_input;
      gcb.DelayTime = 10;
      gcb.TransparentColor = *f.transparent;
      EGifGCBToSavedExtension(&gcb, gif, gif->ImageCount - 1);
    }
  }
  // EGifSpew closes the file but leaves the colour table and the frames it
  // wrote to the caller.
  ColorMapObject* const global = gif->SColorMap;
  SavedImage* const images = gif->SavedImages;
  const int count = gif->ImageCount;
  const auto free_images = [&] {
    GifFreeMapObject(global);
    for (int i = 0; i < count; ++i) {
      GifFreeMapObject(images[i].ImageDesc.ColorMap);
      std::free(images[i].RasterBits);
      GifFreeExtensions(&images[i].ExtensionBlockCount, &images[i].ExtensionBlocks);
    }
    std::free(images);
  };
  const bool written = EGifSpew(gif) != GIF_ERROR;
  free_images();
  if (!written) return {};
  return out;
}

std::optional<ReadBackGif> ReadBack(std::string_view bytes) {
  Reader reader{bytes, 0};
  int error = 0;
  GifFileType* gif = DGifOpen(&reader, Read, &error);
  if (gif == nullptr) return std::nullopt;
  if (DGifSlurp(gif) == GIF_ERROR || gif->ImageCount < 1) {
    DGifCloseFile(gif, &error);
    return std::nullopt;
  }
  ReadBackGif r;
  r.width = gif->SWidth;
  r.height = gif->SHeight;
  r.frames = gif->ImageCount;
  if (gif->SColorMap != nullptr) {
    for (int i = 0; i < gif->SColorMap->ColorCount; ++i) {
      const GifColorType& c = gif->SColorMap->Colors[i];
      r.palette.push_back({c.Red, c.Green, c.Blue});
    }
  }
  const SavedImage& first = gif->SavedImages[0];
  r.frame_width = first.ImageDesc.Width;
  r.frame_height = first.ImageDesc.Height;
  r.pixels.assign(first.RasterBits, first.RasterBits + static_cast<std::size_t>(r.frame_width) * r.frame_height);
  GraphicsControlBlock gcb{};
  if (DGifSavedExtensionToGCB(gif, 0, &gcb) == GIF_OK) {
    for (int i = 0; i < first.ExtensionBlockCount; ++i) {
      if (first.ExtensionBlocks[i].Function == GRAPHICS_EXT_FUNC_CODE) r.has_control = true;
    }
    r.transparent = gcb.TransparentColor;
    r.disposal = gcb.DisposalMode;
    r.user_input = gcb.UserInputFlag;
  }
  DGifCloseFile(gif, &error);
  return r;
}

TestGif SimpleGif(int width, int height, std::vector<GifColor> palette, std::vector<std::uint8_t> pixels,
                  std::optional<int> transparent) {
  TestGif gif;
  gif.width = width;
  gif.height = height;
  gif.palette = std::move(palette);
  TestFrame frame;
  frame.width = width;
  frame.height = height;
  frame.pixels = std::move(pixels);
  frame.transparent = transparent;
  gif.frames.push_back(std::move(frame));
  return gif;
}

std::vector<std::uint8_t> Payload(int width, int height, std::string_view response) {
  std::vector<std::uint8_t> p(5 + response.size());
  p[0] = 20;
  p[1] = static_cast<std::uint8_t>(width & 0xFF);
  p[2] = static_cast<std::uint8_t>(width >> 8);
  p[3] = static_cast<std::uint8_t>(height & 0xFF);
  p[4] = static_cast<std::uint8_t>(height >> 8);
  std::copy(response.begin(), response.end(), p.begin() + 5);
  return p;
}

std::string AsText(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace korvan::test
