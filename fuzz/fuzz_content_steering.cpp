// korvan-server's content steering over arbitrary origin bytes: the first
// byte picks the JPEG recompressor, the HTML minifier or the banner, Flash
// and GIF decision; the rest is the body.
#include "fuzz/fuzz_target.h"

#include <cstdint>
#include <span>
#include <string_view>

#include "server/content_steering.h"
#include "server/html_optimiser.h"
#include "server/jpeg_recompress.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::span<const std::uint8_t> body(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0: {
      const auto picture = korvan::server::RecompressJpeg(body, korvan::server::JpegQualityForLevel(data[0] / 3 % 15));
      if (picture && picture->bytes.size() >= body.size()) __builtin_trap();
      break;
    }
    case 1: {
      const std::string_view html(reinterpret_cast<const char*>(body.data()), body.size());
      if (korvan::server::OptimiseHtml(html).size() > html.size()) __builtin_trap();
      break;
    }
    default: {
      korvan::server::AnswerFacts facts;
      facts.status = 200;
      facts.kind = static_cast<korvan::server::MediaKind>(data[0] / 3 % 6);
      facts.content_length = body.size();
      const auto choices = korvan::server::SteeringChoices::FromOpening(data[0], static_cast<std::uint16_t>(data[0] * 257));
      const auto verdict = korvan::server::Decide(facts, choices, body.first(std::min<std::size_t>(body.size(), 10)));
      if (verdict.action == korvan::server::Action::kBlockBanner &&
          (verdict.banner_index < 1 || verdict.banner_index > 14)) {
        __builtin_trap();
      }
      break;
    }
  }
  return 0;
}
