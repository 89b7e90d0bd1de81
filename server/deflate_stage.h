// The server's deflate stage: libdeflate in place of zlib's deflate.
//
// The client only inflates what the server sends, so any encoder that writes
// a conforming zlib stream will do. libdeflate's higher levels search harder
// than zlib's level 9 and make each block a few percent smaller, which is
// what a slow link pays for; they cost several times zlib's CPU, so the
// level is an option of the server.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/word_compress.h"

struct libdeflate_compressor;

namespace korvan::server {

class LibdeflateStage final : public WordCompress::DeflateStage {
 public:
  explicit LibdeflateStage(int level);  // 1 to 12
  ~LibdeflateStage() override;
  LibdeflateStage(const LibdeflateStage&) = delete;
  LibdeflateStage& operator=(const LibdeflateStage&) = delete;

  std::size_t Deflate(const std::uint8_t* source, std::size_t size, std::uint8_t* out,
                      std::size_t capacity) override;

 private:
  libdeflate_compressor* compressor_;
};

// The calling thread's stage for `level`; the pack pool's threads each keep
// their own, since a compressor holds per-call state.
WordCompress::DeflateStage& ThreadDeflateStage(int level);

}  // namespace korvan::server
