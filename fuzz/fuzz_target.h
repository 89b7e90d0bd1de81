// The entry point every fuzz target defines, for libFuzzer and the replay
// driver alike.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
