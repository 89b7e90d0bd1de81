// UnpackBlock over arbitrary payloads: byte 0 is the flag byte, byte 1 the
// escape byte, the rest the packed payload. Nothing may be read or written
// past a buffer, whatever the bytes claim.
#include "fuzz/fuzz_target.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "wire/word_compress.h"
#include "wire/word_list.h"

namespace {

const korvan::WordList& Words() {
  static const korvan::WordList words(1, {"ab", "Content-Type: ", "\r\n", "\r\n\r\n", std::string(255, 'x'), "<div>"});
  return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size - 2 > korvan::kMaxUnpackedBlock) return 0;
  const std::uint8_t flags = data[0];
  const std::uint8_t escape = data[1];
  const std::size_t count = size - 2;
  // Exactly sized copies, so that the sanitizer sees any overrun.
  std::unique_ptr<std::uint8_t[]> source(new std::uint8_t[count + 1]);
  std::memcpy(source.get(), data + 2, count);
  std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[korvan::kMaxUnpackedBlock]);
  const int n = korvan::WordCompress::UnpackBlock(Words(), source.get(), escape, flags, count, out.get());
  if (n > static_cast<int>(korvan::kMaxUnpackedBlock)) __builtin_trap();
  // What unpacks must pack again and come back the same.
  if (n > 0 && static_cast<std::size_t>(n) <= korvan::kMaxRawBlock) {
    std::vector<std::uint8_t> packed(static_cast<std::size_t>(n) + 1);
    std::uint8_t f = korvan::tfDeflate | korvan::tfWords;
    std::uint8_t e = 0;
    const std::size_t m = korvan::WordCompress::PackBlock(Words(), out.get(), static_cast<std::size_t>(n), f, e,
                                                          packed.data());
    std::vector<std::uint8_t> back(korvan::kMaxUnpackedBlock);
    const int r = korvan::WordCompress::UnpackBlock(Words(), packed.data(), e, f, m, back.data());
    if (r != n || std::memcmp(back.data(), out.get(), static_cast<std::size_t>(n)) != 0) __builtin_trap();
  }
  return 0;
}
