// A directory listing from the server, in the client's hands: whatever the
// payload claims, no entry reads past it, and no name reaches the page
// unescaped, in the shown text or in a link.
#include "fuzz/fuzz_target.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>

#include "response/ftp_listing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const korvan::FtpListing listing = korvan::ParseFtpListingPayload(std::span<const std::uint8_t>(data, size));
  std::size_t claimed = listing.directory_url.size() + listing.link_suffix.size();
  for (const auto& entry : listing.entries) claimed += entry.name.size();
  if (claimed > size) __builtin_trap();

  // Names cannot add markup: the page has as many tags and quotes as the
  // same listing with harmless names.
  const korvan::ListingFormat format;
  korvan::FtpListing plain = listing;
  for (auto& entry : plain.entries) entry.name.assign(entry.name.size(), 'a');
  const std::string rows = korvan::BuildFtpRows(listing, format);
  const std::string plain_rows = korvan::BuildFtpRows(plain, format);
  for (const char c : {'<', '>', '"'}) {
    if (std::count(rows.begin(), rows.end(), c) != std::count(plain_rows.begin(), plain_rows.end(), c)) {
      __builtin_trap();
    }
  }
  for (const auto& entry : listing.entries) {
    if (korvan::FormatListingDate(entry.date, format).size() > 64) __builtin_trap();
  }
  return 0;
}
