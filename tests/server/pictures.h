// Pictures made in the tests: JPEGs encoded with libjpeg itself, and GIF
// and Flash bodies whose first bytes say what they are.
#pragma once

#include <cstdint>
#include <string>

namespace korvan::server::test {

// A colour JPEG of width x height at `quality`, with smooth gradients and
// fine noise, so that a lower quality visibly saves bytes.
std::string MakeJpeg(int width, int height, int quality);
// "GIF89a", the logical screen size, then filler up to `size` bytes (at least 13).
std::string MakeGifLike(std::uint16_t width, std::uint16_t height, std::size_t size);

}  // namespace korvan::server::test
