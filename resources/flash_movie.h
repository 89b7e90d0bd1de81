// FLASH_1: the replacement for a blocked Flash object, embedded into the
// program at build time (see make_flash_movie.py).
#pragma once

#include <cstdint>
#include <span>

namespace korvan {

// The movie's bytes; valid for the life of the program.
std::span<const std::uint8_t> FlashMovieResource();

}  // namespace korvan
