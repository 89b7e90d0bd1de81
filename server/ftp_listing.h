// FTP directory listings: the entries of an MLSD or LIST answer, and the
// ckFtpListing payload the client turns into its listing page.
//
// Payload after the kind byte: the directory URL, 0, the link suffix, 0,
// then per entry: name length (16-bit LE), the name, a kind byte (1 =
// directory, 0 = file), the size (32-bit signed LE, at most INT32_MAX), the
// modification time (little-endian IEEE double, days since 1899-12-30, the
// fraction the time of day; 0 when unknown).
//
// The listing text comes from an FTP server and is trusted in nothing:
// lines that do not parse, and names that are empty, "." or "..", hold a
// NUL, CR, LF or "/", or are longer than kMaxFtpNameBytes, are left out.
//
// Thread rule: pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wire/frame_format.h"

namespace korvan::server {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t kMaxFtpNameBytes = 1024;

struct FtpEntry {
  std::string name;
  bool is_directory = false;
  std::uint64_t size = 0;
  double modified = 0;  // days since 1899-12-30; 0 when unknown
  friend bool operator==(const FtpEntry&, const FtpEntry&) = default;
};

struct ParsedListing {
  std::vector<FtpEntry> entries;
  std::size_t rejected = 0;  // lines that were neither an entry nor a known line to skip
};

// Days since 1899-12-30 of a civil date and time; nullopt when a field is out
// of range (month 1-12, day within the month, hour 0-23, minute 0-59,
// second 0-60).
std::optional<double> WireDays(int year, int month, int day, int hour = 0, int minute = 0, double second = 0);

bool IsUsableFtpName(std::string_view name);

// MLSD lines: "fact=value;fact=value; name". type=cdir and type=pdir lines
// are skipped; "dir" is a directory, anything else a file (a link to a
// directory is found out when it is asked for). modify= is UTC.
ParsedListing ParseMlsd(std::string_view text);

// LIST lines in the style of Unix "ls -l" (with or without a group column;
// "HH:MM" dates fall in the year before `this_year` when their month lies
// after `this_month`) and of DOS ("03-15-23  12:00PM  <DIR>  name").
// "total N" lines are skipped; symbolic links are named without " -> target".
ParsedListing ParseListOutput(std::string_view text, int this_year, int this_month);

struct ListingPayload {
  Bytes bytes;            // after the kind byte
  std::size_t kept = 0;   // entries of the listing that are in it
  std::size_t total = 0;  // entries of the listing
  bool trimmed() const { return kept < total; }
};

// Room for the payload after the kind byte in one unpacked control frame.
inline constexpr std::size_t kListingRoom = kMaxRawBlock - 1;

// The payload with as many entries as fit in `room`, in listing order. When
// some do not fit, a last file entry "(N more entries not listed)" of size 0
// says so. nullopt when the URL or the suffix holds a NUL, or leaves no room
// for that note.
std::optional<ListingPayload> BuildListingPayload(std::string_view directory_url, std::string_view link_suffix,
                                                  const std::vector<FtpEntry>& entries,
                                                  std::size_t room = kListingRoom);

}  // namespace korvan::server
