// GIF files for the image tests, made and read back with giflib's own
// whole-file calls (EGifSpew, DGifSlurp), apart from the codec under test.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "response/gif_codec.h"

namespace korvan::test {

struct TestFrame {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  bool interlaced = false;
  std::vector<GifColor> palette;  // local; empty for none
  std::vector<std::uint8_t> pixels;
  // Graphic control: transparent index (or -1 for no transparency), disposal.
  std::optional<int> transparent;  // engaged: a control extension is written
  int disposal = 0;
  bool user_input = false;
};

struct TestGif {
  int width = 0;
  int height = 0;
  int background = 0;
  std::vector<GifColor> palette;
  std::vector<TestFrame> frames;
};

std::string WriteTestGif(const TestGif& gif);

// A file as giflib reads it whole.
struct ReadBackGif {
  int width = 0;
  int height = 0;
  int frames = 0;
  std::vector<GifColor> palette;   // global
  std::vector<std::uint8_t> pixels;  // first frame
  int frame_width = 0;
  int frame_height = 0;
  bool has_control = false;
  int transparent = -1;  // -1: no transparency flag
  int disposal = 0;
  bool user_input = false;
};
std::optional<ReadBackGif> ReadBack(std::string_view bytes);

// One frame covering the screen, global palette, optional transparency.
TestGif SimpleGif(int width, int height, std::vector<GifColor> palette, std::vector<std::uint8_t> pixels,
                  std::optional<int> transparent = std::nullopt);

// The ckRecompressGif payload: kind 20, width, height, then the response.
std::vector<std::uint8_t> Payload(int width, int height, std::string_view response);

std::string AsText(const std::vector<std::uint8_t>& bytes);

}  // namespace korvan::test
