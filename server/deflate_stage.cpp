#include "server/deflate_stage.h"

#include <libdeflate.h>

#include <array>
#include <memory>
#include <new>
#include <stdexcept>

namespace korvan::server {

LibdeflateStage::LibdeflateStage(int level) : compressor_(libdeflate_alloc_compressor(level)) {
  if (compressor_ == nullptr) {
    if (level < 1 || level > 12) throw std::invalid_argument("deflate level must be 1 to 12");
    throw std::bad_alloc();
  }
}

LibdeflateStage::~LibdeflateStage() { libdeflate_free_compressor(compressor_); }

std::size_t LibdeflateStage::Deflate(const std::uint8_t* source, std::size_t size, std::uint8_t* out,
                                     std::size_t capacity) {
  return libdeflate_zlib_compress(compressor_, source, size, out, capacity);
}

WordCompress::DeflateStage& ThreadDeflateStage(int level) {
  if (level < 1 || level > 12) throw std::invalid_argument("deflate level must be 1 to 12");
  thread_local std::array<std::unique_ptr<LibdeflateStage>, 13> stages;
  auto& stage = stages[static_cast<std::size_t>(level)];
  if (!stage) stage = std::make_unique<LibdeflateStage>(level);
  return *stage;
}

}  // namespace korvan::server
