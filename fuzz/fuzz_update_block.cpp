// An update container as a download may deliver it. Whatever the header
// claims, nothing is read past the body and nothing unpacks beyond the
// bound; what unpacks packs again and comes back the same.
#include "fuzz/fuzz_target.h"

#include <cstdint>
#include <string>

#include "updater/update_block.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  std::string error;
  const auto content = korvan::UnpackUpdateBlock(body, &error);
  if (!content) {
    if (error.empty()) __builtin_trap();
    return 0;
  }
  if (content->empty() || content->size() > korvan::kMaxUpdateFileSize) __builtin_trap();
  if (content->size() <= (1u << 20)) {
    const auto again = korvan::UnpackUpdateBlock(korvan::PackUpdateBlock(*content), &error);
    if (!again || *again != *content) __builtin_trap();
  }
  return 0;
}
