#include "response/ftp_listing.h"

#include <cmath>
#include <cstring>
#include <ctime>
#include <string_view>

#include "localisation/text_format.h"
#include "common/html_escape.h"

namespace korvan {
namespace {

constexpr std::string_view kRowFormat =
    "  <tr bgcolor=\"white\"><td>&nbsp;<a href=\"%S\">%S&nbsp;</a></td><td align=\"right\">&nbsp;%S&nbsp;</td>"
    "<td>&nbsp;%S&nbsp;</td></tr>\r\n";

std::string Row(std::string_view link, std::string_view name, std::string_view size, std::string_view date) {
  return FormatText(kRowFormat, {link, name, size, date});
}

std::uint32_t Le(std::span<const std::uint8_t> b, std::size_t at, int bytes) {
  std::uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint32_t>(b[at + static_cast<std::size_t>(i)]) << (8 * i);
  return v;
}

// Days since 1899-12-30 to a civil date (proleptic Gregorian).
void CivilFromDays(long long days_since_1970, int& year, unsigned& month, unsigned& day) {
  const long long z = days_since_1970 + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = doy - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (month <= 2 ? 1 : 0));
}

std::string TwoDigits(int v) { return std::string{static_cast<char>('0' + v / 10 % 10), static_cast<char>('0' + v % 10)}; }

// The conversions that date and time patterns of locales use; anything else
// is copied as it stands. Our own expansion rather than strftime, so that a
// pattern is only ever data.
std::string ExpandDatePattern(std::string_view pattern, const std::tm& tm) {
  std::string out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%' || i + 1 == pattern.size()) {
      out += pattern[i];
      continue;
    }
    const char c = pattern[++i];
    const int hour12 = tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12;
    switch (c) {
      case 'd': out += TwoDigits(tm.tm_mday); break;
      case 'e': out += (tm.tm_mday < 10 ? " " : "") + std::to_string(tm.tm_mday); break;
      case 'm': out += TwoDigits(tm.tm_mon + 1); break;
      case 'Y': out += std::to_string(tm.tm_year + 1900); break;
      case 'y': out += TwoDigits((tm.tm_year + 1900) % 100); break;
      case 'H': out += TwoDigits(tm.tm_hour); break;
      case 'I': out += TwoDigits(hour12); break;
      case 'M': out += TwoDigits(tm.tm_min); break;
      case 'S': out += TwoDigits(tm.tm_sec); break;
      case 'p': out += tm.tm_hour < 12 ? "AM" : "PM"; break;
      case 'D': out += ExpandDatePattern("%m/%d/%y", tm); break;
      case 'F': out += ExpandDatePattern("%Y-%m-%d", tm); break;
      case 'T': out += ExpandDatePattern("%H:%M:%S", tm); break;
      case 'R': out += ExpandDatePattern("%H:%M", tm); break;
      case 'r': out += ExpandDatePattern("%I:%M:%S %p", tm); break;
      case '%': out += '%'; break;
      default:
        out += '%';
        out += c;
    }
  }
  return out;
}

}  // namespace

std::vector<TFTPListRec> ParseFtpListing(std::span<const std::uint8_t> bytes) {
  std::vector<TFTPListRec> entries;
  std::size_t pos = 0;
  while (bytes.size() - pos >= 15) {
    const std::size_t n = Le(bytes, pos, 2);
    pos += 2;
    if (n > bytes.size() - pos) break;  // claims more than there is
    TFTPListRec rec;
    rec.name.assign(reinterpret_cast<const char*>(bytes.data() + pos), n);
    pos += n;
    if (bytes.size() - pos < 13) {
      pos = bytes.size();
      entries.push_back(std::move(rec));
      break;
    }
    rec.is_directory = bytes[pos] == 1;
    rec.size = static_cast<std::int32_t>(Le(bytes, pos + 1, 4));
    std::uint64_t bits = static_cast<std::uint64_t>(Le(bytes, pos + 5, 4)) |
                         (static_cast<std::uint64_t>(Le(bytes, pos + 9, 4)) << 32);
    std::memcpy(&rec.date, &bits, sizeof rec.date);
    pos += 13;
    entries.push_back(std::move(rec));
  }
  return entries;
}

FtpListing ParseFtpListingPayload(std::span<const std::uint8_t> payload) {
  FtpListing listing;
  std::span<const std::uint8_t> rest = payload;
  const auto take_text = [&rest](std::string& into) {
    const auto* nul = static_cast<const std::uint8_t*>(std::memchr(rest.data(), 0, rest.size()));
    if (nul == nullptr) return;
    const auto length = static_cast<std::size_t>(nul - rest.data());
    into.assign(reinterpret_cast<const char*>(rest.data()), length);
    rest = rest.subspan(length + 1);
  };
  if (!rest.empty()) take_text(listing.directory_url);
  if (!rest.empty()) take_text(listing.link_suffix);
  listing.entries = ParseFtpListing(rest);
  return listing;
}

std::string FormatNumber2(double value, const ListingFormat& format) {
  if (!std::isfinite(value)) return "0" + format.decimal_separator + "00";
  const bool negative = value < 0;
  const long long cents = std::llround(std::fabs(value) * 100.0);
  std::string whole = std::to_string(cents / 100);
  std::string grouped;
  for (std::size_t i = 0; i < whole.size(); ++i) {
    if (i > 0 && (whole.size() - i) % 3 == 0) grouped += format.thousands_separator;
    grouped += whole[i];
  }
  const int fraction = static_cast<int>(cents % 100);
  return (negative && cents != 0 ? "-" : "") + grouped + format.decimal_separator +
         static_cast<char>('0' + fraction / 10) + static_cast<char>('0' + fraction % 10);
}

std::string FormatListingDate(double date, const ListingFormat& format) {
  if (!std::isfinite(date) || date < -693593.0 || date > 2958465.0) return {};
  const double whole_days = std::floor(date);
  // Negative dates count the fraction away from zero: -1.25 is 6 a.m. on
  // 1899-12-29.
  const double fraction = std::fabs(date - std::trunc(date));
  long long ms = std::llround(fraction * 86400000.0);
  long long day_number = static_cast<long long>(date < 0 ? std::ceil(date) : whole_days);
  if (ms >= 86400000) {
    ms = 0;
    ++day_number;
  }
  int year = 0;
  unsigned month = 0;
  unsigned day = 0;
  CivilFromDays(day_number - 25569, year, month, day);
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = static_cast<int>(month) - 1;
  tm.tm_mday = static_cast<int>(day);
  const long long seconds = ms / 1000;
  tm.tm_hour = static_cast<int>(seconds / 3600);
  tm.tm_min = static_cast<int>(seconds / 60 % 60);
  tm.tm_sec = static_cast<int>(seconds % 60);
  std::string text = ExpandDatePattern(format.date_pattern, tm);
  if (ms != 0) text += " " + ExpandDatePattern(format.time_pattern, tm);
  return text;
}

std::string BuildFtpRows(const FtpListing& listing, const ListingFormat& format) {
  const std::string dir = EscapeHtml(listing.directory_url);
  const std::string suffix = EscapeHtml(listing.link_suffix);
  std::string rows = Row(dir + suffix, "&lt; . &gt;", "", "");

  // The parent: cut the last character, then back to the previous "/".
  const std::string& d = listing.directory_url;
  if (d.size() >= 2 && d.find('/') < d.size() - 1) {
    std::string parent = d.substr(0, d.size() - 1);
    while (!parent.empty() && parent.back() != '/') parent.pop_back();
    if (parent.size() > 6) rows += "\r\n" + Row(EscapeHtml(parent), "< .. >", "", "") + "\r\n";
  }
  for (const TFTPListRec& e : listing.entries) {
    if (!e.is_directory) continue;
    const std::string name = EscapeHtml(e.name);
    rows += Row(dir + name + suffix, "&lt; " + name + " &gt;", "", FormatListingDate(e.date, format));
  }
  for (const TFTPListRec& e : listing.entries) {
    if (e.is_directory) continue;
    const std::string name = EscapeHtml(e.name);
    rows += Row(dir + name + suffix, name, FormatNumber2(e.size / 1024.0, format), FormatListingDate(e.date, format));
  }
  return rows;
}

}  // namespace korvan
