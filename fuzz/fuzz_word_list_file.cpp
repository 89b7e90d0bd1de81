// Word-list files as they may lie on disk: damaged, truncated, hostile.
#include "fuzz/fuzz_target.h"

#include <cstdint>
#include <span>

#include "wire/word_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> file(data, size);
  const korvan::WordListPtr list = korvan::ParseWordListFile(file);
  korvan::InspectLeadingField(file);
  if (list) {
    for (const std::string& w : list->words()) {
      if (w.size() < 2 || w.size() > 255) __builtin_trap();
    }
    // A list that loads must serialize and load again unchanged.
    const korvan::WordListPtr again = korvan::ParseWordListFile(korvan::SerializeWordListFile(*list));
    if (!again || again->words() != list->words() || again->version() != list->version()) __builtin_trap();
  }
  return 0;
}
