#include "tests/support/test_gifs.h"

#include <gif_lib.h>

#include <vector>

namespace korvan::test {

std::string MakeTestGif(int width, int height, bool transparent) {
  std::string out;
  const auto write = [](GifFileType* gif, const GifByteType* bytes, int size) {
    static_cast<std::string*>(gif->UserData)->append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size));
    return size;
  };
  int error = 0;
  GifFileType* gif = EGifOpen(&out, write, &error);
  if (gif == nullptr) return {};
  GifColorType colours[16];
  for (int i = 0; i < 16; ++i) {
    colours[i] = {static_cast<GifByteType>(i * 16), static_cast<GifByteType>(255 - i * 12),
                  static_cast<GifByteType>((i * 53) % 256)};
  }
  ColorMapObject* map = GifMakeMapObject(16, colours);
  EGifPutScreenDesc(gif, width, height, 4, 0, map);
  if (transparent) {
    GraphicsControlBlock gcb{};
    gcb.TransparentColor = 0;
    GifByteType ext[4];
    const std::size_t n = EGifGCBToExtension(&gcb, ext);
    EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(n), ext);
  }
  EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr);
  std::vector<GifPixelType> line(static_cast<std::size_t>(width));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const bool margin = transparent && (x < 4 || y < 4 || x >= width - 4 || y >= height - 4);
      line[static_cast<std::size_t>(x)] =
          margin ? 0 : static_cast<GifPixelType>(1 + ((x / 7 + y / 5 + (x * y) / 97) % 15));
    }
    EGifPutLine(gif, line.data(), width);
  }
  EGifCloseFile(gif, &error);
  GifFreeMapObject(map);
  return out;
}

}  // namespace korvan::test
