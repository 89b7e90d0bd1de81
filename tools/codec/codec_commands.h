// The work behind the korvan-codec commands, kept out of main() so that it
// can be tested directly.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "wire/word_list.h"

namespace korvan {

struct CommandResult {
  bool ok = false;
  std::vector<std::uint8_t> output;
  std::string error;  // one line for standard error when !ok
};

// One raw block (1 to 64511 bytes) to one frame, as the connection worker
// sends it.
CommandResult PackCommand(const WordList& words, std::span<const std::uint8_t> raw);

// Frames to their concatenated unpacked payloads. A malformed frame, one that
// does not unpack, or bytes left over at the end are an error; `output` then
// holds what the frames before it unpacked to.
CommandResult UnpackCommand(const WordList& words, std::span<const std::uint8_t> frames);

// The same two on file descriptors, as the tool runs them on its standard
// input and output (the messages name those): PackStream reads the block
// from `in` to its end and writes the frame to `out`; UnpackStream unpacks
// the frames while they arrive, in bounded memory, so that what the frames
// before a bad one unpacked to is already written when it fails. `output`
// of the result stays empty.
CommandResult PackStream(const WordList& words, int in, int out);
CommandResult UnpackStream(const WordList& words, int in, int out);

// "version N", then every word on a line of its own, with bytes outside
// printable ASCII and the backslash written as \r, \n, \t, \\ or \xNN.
std::string DumpWordList(const WordList& words);

// The escaped form used by DumpWordList.
std::string EscapeWord(std::string_view word);

}  // namespace korvan
