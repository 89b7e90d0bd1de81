// The version info file as the update server may send it: key lookup, the
// signature line, descriptions and names. Nothing may be read past the
// text, whatever its lines claim.
#include "fuzz/fuzz_target.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "updater/update_description.h"
#include "updater/update_http.h"
#include "updater/update_signature.h"
#include "updater/version_info.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const korvan::VersionInfoFile info(text);
  const auto count = korvan::ParseDecimal(info.Value("Count"));
  for (std::int32_t i = 1; count && i <= *count && i <= 64; ++i) {
    const std::string name = info.Value("Name" + std::to_string(i));
    // A safe name never leaves the folder.
    if (korvan::IsSafeUpdateName(name) && (name.find('/') != std::string::npos || name.find("..") != std::string::npos)) {
      __builtin_trap();
    }
  }
  const std::string description = korvan::PickDescription(info, "cz,en,sk");
  const std::string filtered = korvan::FilterDescription(description, {1, 0, 0, 509});
  if (filtered.size() > description.size() * 2 + 2) __builtin_trap();
  korvan::CompareVersion(info.Value("Version"), {1, 2, 3, 4});
  const korvan::SignedVersionInfo parts = korvan::SplitSignature(text);
  if (parts.signed_part.size() > text.size()) __builtin_trap();
  // Base64 may carry stray bits in its last digit; what decodes must at
  // least fit the text and decode again to the same bytes.
  if (const auto decoded = korvan::DecodeBase64(parts.signature)) {
    if (decoded->size() > parts.signature.size() * 3 / 4) __builtin_trap();
    if (korvan::DecodeBase64(korvan::EncodeBase64(*decoded)) != decoded) __builtin_trap();
  }
  korvan::ContentLengthOf(text);
  korvan::StatusCodeOf(text);
  korvan::HeadEndOf(text);
  return 0;
}
