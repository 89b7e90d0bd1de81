// FTP directory listings sent by the server, turned into the rows of an
// HTML table.
//
// Listing bytes, after the kind byte: directory URL, 0, link suffix, 0, then
// entries of: name length (16-bit LE), name, kind (1 = directory), size
// (32-bit signed LE), modification time (64-bit float, days since
// 1899-12-30). Everything in it is data from the network.
//
// Thread rule: pure functions over untrusted bytes; any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvan {

struct TFTPListRec {
  std::string name;
  bool is_directory = false;
  std::int32_t size = 0;
  double date = 0.0;
};

struct FtpListing {
  std::string directory_url;  // D
  std::string link_suffix;    // X
  std::vector<TFTPListRec> entries;
};

// Entries of `bytes`: read while at least 15 bytes remain; an entry cut short
// after its name becomes a file of size 0 and time 0, and ends the list. A
// name that claims more bytes than remain ends the list as well.
std::vector<TFTPListRec> ParseFtpListing(std::span<const std::uint8_t> bytes);

// The whole payload after the kind byte.
FtpListing ParseFtpListingPayload(std::span<const std::uint8_t> payload);

// How dates and sizes are shown: the user's separators and the strftime
// patterns of the short date and the long time.
struct ListingFormat {
  std::string thousands_separator = ",";
  std::string decimal_separator = ".";
  std::string date_pattern = "%d.%m.%Y";
  std::string time_pattern = "%H:%M:%S";
};

// "1,234.57": `value` with thousands separators and two decimals.
std::string FormatNumber2(double value, const ListingFormat& format);

// The short date and the long time of `date`; the time is left out when it
// is exactly midnight. Empty for dates outside years 1..9999.
std::string FormatListingDate(double date, const ListingFormat& format);

// The table rows: the current directory, the parent (when there is one),
// every directory, then every file, in listing order. Names are escaped for
// HTML in the shown text and in the link.
std::string BuildFtpRows(const FtpListing& listing, const ListingFormat& format);

}  // namespace korvan
