// A directory listing from the server, in the client's hands: whatever the
// payload claims, no entry reads past it, and no name reaches the page
// unescaped, in the shown text or in a link.
#include "fuzz/fuzz_target.h"

#include <cstdint>
#include <span>
#include <string>

#include "response/ftp_listing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const korvan::FtpListing listing = korvan::ParseFtpListingPayload(std::span<const std::uint8_t>(data, size));
  std::size_t claimed = listing.directory_url.size() + listing.link_suffix.size();
  for (const auto& entry : listing.entries) claimed += entry.name.size();
  if (claimed > size) __builtin_trap();

  const korvan::ListingFormat format;
  const std::string rows = korvan::BuildFtpRows(listing, format);
  for (const auto& entry : listing.entries) {
    if (entry.name.size() < 3) continue;  // short names occur in the markup by chance
    const bool needs_escaping = entry.name.find_first_of("<>\"&") != std::string::npos;
    if (needs_escaping && rows.find(entry.name) != std::string::npos) __builtin_trap();
    if (korvan::FormatListingDate(entry.date, format).size() > 64) __builtin_trap();
  }
  return 0;
}
