#include "tests/server/pictures.h"

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

#include <jpeglib.h>

namespace korvan::server::test {

std::string MakeJpeg(int width, int height, int quality) {
  std::mt19937 random(7);
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 3];
      const int noise = static_cast<int>(random() % 24);
      p[0] = static_cast<std::uint8_t>((x * 255 / width + noise) & 0xFF);
      p[1] = static_cast<std::uint8_t>((y * 255 / height + noise) & 0xFF);
      p[2] = static_cast<std::uint8_t>(((x + y) * 3 + noise) & 0xFF);
    }
  }
  jpeg_compress_struct info{};
  jpeg_error_mgr error{};
  info.err = jpeg_std_error(&error);
  jpeg_create_compress(&info);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &out, &size);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = &pixels[static_cast<std::size_t>(info.next_scanline) * width * 3];
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::string jpeg(reinterpret_cast<const char*>(out), size);
  std::free(out);
  return jpeg;
}

std::string MakeGifLike(std::uint16_t width, std::uint16_t height, std::size_t size) {
  std::string gif = "GIF89a";
  gif += static_cast<char>(width & 0xFF);
  gif += static_cast<char>(width >> 8);
  gif += static_cast<char>(height & 0xFF);
  gif += static_cast<char>(height >> 8);
  gif += "\x80\x00\x00";
  std::mt19937 random(static_cast<std::uint32_t>(width * 65536 + height));
  while (gif.size() < size) gif += static_cast<char>(random() & 0xFF);
  gif.resize(std::max<std::size_t>(size, 13));
  return gif;
}

}  // namespace korvan::server::test
