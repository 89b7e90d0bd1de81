// GIFs of our own making for tests and benchmarks, written with giflib.
#pragma once

#include <string>

namespace korvan::test {

// A GIF of `width` x `height` with a 16-colour palette and a pattern of
// bands and blocks (far from flat, so that it is worth shrinking). With
// `transparent`, index 0 is transparent and fills a four-pixel margin.
std::string MakeTestGif(int width, int height, bool transparent = false);

}  // namespace korvan::test
