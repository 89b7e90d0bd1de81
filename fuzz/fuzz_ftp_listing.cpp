// What an FTP server answers to MLSD and LIST, in the hands of korvan-server:
// whatever the lines claim, every kept entry has a usable name and the
// payload built from them holds what it says, within its room.
#include "fuzz/fuzz_target.h"

#include <cstdint>
#include <string_view>

#include "server/ftp_listing.h"

namespace {

void CheckListing(const korvan::server::ParsedListing& listing) {
  for (const auto& entry : listing.entries) {
    if (!korvan::server::IsUsableFtpName(entry.name)) __builtin_trap();
  }
  const auto payload = korvan::server::BuildListingPayload("ftp://host/dir/", ";type=a", listing.entries, 4096);
  if (!payload) __builtin_trap();  // a plain URL and suffix always leave room
  if (payload->bytes.size() > 4096 || payload->kept > payload->total ||
      payload->total != listing.entries.size()) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckListing(korvan::server::ParseMlsd(text));
  CheckListing(korvan::server::ParseListOutput(text, 2026, 12));
  CheckListing(korvan::server::ParseListOutput(text, 2000, 1));
  return 0;
}
