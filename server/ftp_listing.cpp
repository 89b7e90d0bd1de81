#include "server/ftp_listing.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <limits>

namespace korvan::server {

namespace {

struct Token {
  std::size_t begin = 0;
  std::size_t end = 0;
};

std::vector<Token> Tokens(std::string_view line) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size()) break;
    const std::size_t begin = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    tokens.push_back({begin, i});
  }
  return tokens;
}

bool AllDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Saturates instead of wrapping: a size of 10^30 is "very large", not small.
std::uint64_t SaturatingNumber(std::string_view digits) {
  std::uint64_t value = 0;
  for (const char c : digits) {
    const auto d = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - d) / 10) return std::numeric_limits<std::uint64_t>::max();
    value = value * 10 + d;
  }
  return value;
}

// A small number of at most `width` digits, or -1.
int SmallNumber(std::string_view text, std::size_t width) {
  if (!AllDigits(text) || text.size() > width) return -1;
  return static_cast<int>(SaturatingNumber(text));
}

bool EqualsLower(std::string_view text, std::string_view lower) {
  return text.size() == lower.size() && std::equal(text.begin(), text.end(), lower.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == b;
         });
}

int MonthNumber(std::string_view text) {
  static constexpr std::string_view kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                 "jul", "aug", "sep", "oct", "nov", "dec"};
  for (int i = 0; i < 12; ++i) {
    if (EqualsLower(text, kMonths[i])) return i + 1;
  }
  return 0;
}

long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// "HH:MM" into hour and minute; false for anything else.
bool ParseClock(std::string_view text, int& hour, int& minute) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  hour = SmallNumber(text.substr(0, colon), 2);
  minute = SmallNumber(text.substr(colon + 1), 2);
  return hour >= 0 && minute >= 0 && text.size() - colon - 1 == 2;
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return lines;
}

void Keep(ParsedListing& out, FtpEntry entry) {
  if (IsUsableFtpName(entry.name)) {
    out.entries.push_back(std::move(entry));
  } else {
    ++out.rejected;
  }
}

// "20230315120000" or "20230315120000.123", UTC.
double MlsdTime(std::string_view value) {
  const auto dot = value.find('.');
  const std::string_view whole = value.substr(0, dot);
  if (whole.size() != 14 || !AllDigits(whole)) return 0;
  const auto field = [whole](std::size_t at, std::size_t width) { return SmallNumber(whole.substr(at, width), width); };
  double second = field(12, 2);
  if (dot != std::string_view::npos) {
    const std::string_view fraction = value.substr(dot + 1);
    if (AllDigits(fraction) && fraction.size() <= 9) {
      second += static_cast<double>(SaturatingNumber(fraction)) / std::pow(10.0, static_cast<double>(fraction.size()));
    }
  }
  return WireDays(field(0, 4), field(4, 2), field(6, 2), field(8, 2), field(10, 2), second).value_or(0);
}

bool ParseUnixLine(std::string_view line, int this_year, int this_month, ParsedListing& out) {
  const std::vector<Token> tokens = Tokens(line);
  const auto text = [&](std::size_t i) { return line.substr(tokens[i].begin, tokens[i].end - tokens[i].begin); };
  if (tokens.size() < 6) return false;
  const std::string_view mode = text(0);
  if (mode.size() < 10 || std::string_view("-dlbcps").find(mode[0]) == std::string_view::npos) return false;
  for (std::size_t m = 2; m + 3 < tokens.size(); ++m) {
    const int month = MonthNumber(text(m));
    const int day = SmallNumber(text(m + 1), 2);
    if (month == 0 || day < 1 || !AllDigits(text(m - 1))) continue;
    int year = this_year;
    int hour = 0;
    int minute = 0;
    const std::string_view when = text(m + 2);
    if (ParseClock(when, hour, minute)) {
      if (month > this_month) --year;  // ls shows the time only for the last half year
    } else if (when.size() == 4 && AllDigits(when)) {
      year = SmallNumber(when, 4);
    } else {
      continue;
    }
    FtpEntry entry;
    entry.is_directory = mode[0] == 'd';
    entry.size = entry.is_directory ? 0 : SaturatingNumber(text(m - 1));
    entry.modified = WireDays(year, month, day, hour, minute).value_or(0);
    // Exactly one blank separates the date from the name; names may start with blanks.
    std::string_view name = line.substr(tokens[m + 2].end + 1);
    if (mode[0] == 'l') name = name.substr(0, name.find(" -> "));
    entry.name = std::string(name);
    Keep(out, std::move(entry));
    return true;
  }
  return false;
}

bool ParseDosLine(std::string_view line, ParsedListing& out) {
  const std::vector<Token> tokens = Tokens(line);
  const auto text = [&](std::size_t i) { return line.substr(tokens[i].begin, tokens[i].end - tokens[i].begin); };
  if (tokens.size() < 4) return false;
  const std::string_view date = text(0);
  if (date.size() < 8 || date[2] != '-' || date[5] != '-') return false;
  const int month = SmallNumber(date.substr(0, 2), 2);
  const int day = SmallNumber(date.substr(3, 2), 2);
  int year = SmallNumber(date.substr(6), 4);
  if (month < 0 || day < 0 || year < 0 || (date.size() != 8 && date.size() != 10)) return false;
  if (date.size() == 8) year += year < 70 ? 2000 : 1900;
  std::string_view clock = text(1);
  int hour = 0;
  int minute = 0;
  const bool pm = clock.size() > 2 && EqualsLower(clock.substr(clock.size() - 2), "pm");
  const bool am = clock.size() > 2 && EqualsLower(clock.substr(clock.size() - 2), "am");
  if (pm || am) clock.remove_suffix(2);
  if (!ParseClock(clock, hour, minute)) return false;
  if ((pm || am) && (hour < 1 || hour > 12)) return false;
  if (pm && hour != 12) hour += 12;
  if (am && hour == 12) hour = 0;
  FtpEntry entry;
  const std::string_view kind = text(2);
  if (EqualsLower(kind, "<dir>")) {
    entry.is_directory = true;
  } else if (AllDigits(kind)) {
    entry.size = SaturatingNumber(kind);
  } else {
    return false;
  }
  const auto wired = WireDays(year, month, day, hour, minute);
  if (!wired) return false;
  entry.modified = *wired;
  entry.name = std::string(line.substr(tokens[3].begin));
  Keep(out, std::move(entry));
  return true;
}

void PutLe(Bytes& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void PutEntry(Bytes& out, std::string_view name, bool is_directory, std::uint64_t size, double modified) {
  PutLe(out, name.size(), 2);
  out.insert(out.end(), name.begin(), name.end());
  out.push_back(is_directory ? 1 : 0);
  PutLe(out, std::min<std::uint64_t>(size, std::numeric_limits<std::int32_t>::max()), 4);
  PutLe(out, std::bit_cast<std::uint64_t>(std::isfinite(modified) ? modified : 0.0), 8);
}

constexpr std::size_t kEntryOverhead = 2 + 1 + 4 + 8;

}  // namespace

std::optional<double> WireDays(int year, int month, int day, int hour, int minute, double second) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour < 0 ||
      hour > 23 || minute < 0 || minute > 59 || !(second >= 0) || second >= 61) {
    return std::nullopt;
  }
  const long long days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
                         DaysFromCivil(1899, 12, 30);
  return static_cast<double>(days) + (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
}

bool IsUsableFtpName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxFtpNameBytes && name != "." && name != ".." &&
         name.find_first_of(std::string_view("\0\r\n/", 4)) == std::string_view::npos;
}

ParsedListing ParseMlsd(std::string_view text) {
  ParsedListing out;
  for (const std::string_view line : Lines(text)) {
    if (line.empty()) continue;
    const auto space = line.find(' ');
    if (space == std::string_view::npos) {
      ++out.rejected;
      continue;
    }
    std::string_view facts = line.substr(0, space);
    FtpEntry entry;
    bool well_formed = true;
    bool skip = false;
    while (!facts.empty()) {
      const auto semicolon = facts.find(';');
      const std::string_view fact = facts.substr(0, semicolon);
      facts = semicolon == std::string_view::npos ? std::string_view() : facts.substr(semicolon + 1);
      if (fact.empty()) continue;
      const auto equals = fact.find('=');
      if (equals == std::string_view::npos) {
        well_formed = false;
        break;
      }
      const std::string_view name = fact.substr(0, equals);
      const std::string_view value = fact.substr(equals + 1);
      if (EqualsLower(name, "type")) {
        if (EqualsLower(value, "cdir") || EqualsLower(value, "pdir")) skip = true;
        entry.is_directory = EqualsLower(value, "dir");
      } else if (EqualsLower(name, "size")) {
        if (AllDigits(value)) entry.size = SaturatingNumber(value);
      } else if (EqualsLower(name, "modify")) {
        entry.modified = MlsdTime(value);
      }
    }
    if (!well_formed) {
      ++out.rejected;
      continue;
    }
    if (skip) continue;
    if (entry.is_directory) entry.size = 0;
    entry.name = std::string(line.substr(space + 1));
    Keep(out, std::move(entry));
  }
  return out;
}

ParsedListing ParseListOutput(std::string_view text, int this_year, int this_month) {
  ParsedListing out;
  for (const std::string_view line : Lines(text)) {
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    const std::vector<Token> tokens = Tokens(line);
    if (tokens.size() == 2 && line.substr(tokens[0].begin, 5) == "total") continue;
    if (!ParseUnixLine(line, this_year, this_month, out) && !ParseDosLine(line, out)) ++out.rejected;
  }
  return out;
}

std::optional<ListingPayload> BuildListingPayload(std::string_view directory_url, std::string_view link_suffix,
                                                  const std::vector<FtpEntry>& entries, std::size_t room) {
  constexpr std::string_view kNul("\0", 1);
  if (directory_url.find(kNul) != std::string_view::npos || link_suffix.find(kNul) != std::string_view::npos) {
    return std::nullopt;
  }
  // The note names a count of at most 20 digits.
  constexpr std::string_view kNoteStart = "(";
  constexpr std::string_view kNoteEnd = " more entries not listed)";
  constexpr std::size_t kNoteRoom = kEntryOverhead + kNoteStart.size() + 20 + kNoteEnd.size();
  const std::size_t head = directory_url.size() + link_suffix.size() + 2;
  if (head + kNoteRoom > room) return std::nullopt;

  ListingPayload out;
  out.total = entries.size();
  std::size_t needed = head;
  for (const FtpEntry& e : entries) needed += kEntryOverhead + e.name.size();
  const std::size_t limit = needed <= room ? room : room - kNoteRoom;

  out.bytes.reserve(std::min(needed, room));
  out.bytes.insert(out.bytes.end(), directory_url.begin(), directory_url.end());
  out.bytes.push_back(0);
  out.bytes.insert(out.bytes.end(), link_suffix.begin(), link_suffix.end());
  out.bytes.push_back(0);
  for (const FtpEntry& e : entries) {
    if (e.name.size() > 0xFFFF || out.bytes.size() + kEntryOverhead + e.name.size() > limit) break;
    PutEntry(out.bytes, e.name, e.is_directory, e.size, e.modified);
    ++out.kept;
  }
  if (out.trimmed()) {
    const std::string note = std::string(kNoteStart) + std::to_string(out.total - out.kept) + std::string(kNoteEnd);
    PutEntry(out.bytes, note, false, 0, 0);
  }
  return out;
}

}  // namespace korvan::server
