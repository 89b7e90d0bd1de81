#include "shell/number_text.h"

#include <chrono>
#include <cmath>
#include <charconv>
#include <ctime>

namespace korvan {
namespace {

constexpr double kKiBPerTiB = 1073741824.0;
constexpr double kKiBPerGiB = 1048576.0;

}  // namespace

std::string FormatDecimal(double value, int decimals, bool grouped, const LocaleFormat& locale) {
  if (!std::isfinite(value)) return "?";
  // A finite double has at most 309 integer digits.
  char buffer[400];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  std::string digits(buffer, result.ptr);
  if (digits[0] == '-' && digits.find_first_not_of("0.", 1) == std::string::npos) digits.erase(0, 1);  // no "-0.00"

  std::string out;
  std::size_t pos = 0;
  if (digits[0] == '-') {
    out += '-';
    pos = 1;
  }
  const std::size_t point = digits.find('.');
  const std::size_t int_end = point == std::string::npos ? digits.size() : point;
  for (std::size_t i = pos; i < int_end; ++i) {
    out += digits[i];
    const std::size_t left = int_end - i - 1;
    if (grouped && left > 0 && left % 3 == 0) out += locale.thousands_separator;
  }
  if (point != std::string::npos) out += locale.decimal_separator + digits.substr(point + 1);
  return out;
}

std::string FormatKiBSize(double kib, const LocaleFormat& locale) {
  if (kib > kKiBPerTiB) return FormatDecimal(kib / kKiBPerTiB, 2, true, locale) + " TB";
  if (kib > kKiBPerGiB) return FormatDecimal(kib / kKiBPerGiB, 2, true, locale) + " GB";
  // Whole bytes; a value too large for 64 bits is only possible negative and
  // is shown in bytes as well.
  const double bytes = std::round(kib * 1024.0);
  if (!(bytes >= -9.0e18)) return FormatDecimal(bytes, 0, true, locale) + " B";
  const auto b = static_cast<std::int64_t>(bytes);
  if (b < 1000) return FormatDecimal(static_cast<double>(b), 0, true, locale) + " B";
  if (b < 1024000) return FormatDecimal(static_cast<double>(b) / 1024.0, 2, true, locale) + " KB";
  return FormatDecimal(static_cast<double>(b) / 1048576.0, 2, true, locale) + " MB";
}

std::string FormatDateTime(double days, const LocaleFormat& locale) {
  using namespace std::chrono;
  // 100-01-01 and 9999-12-31 in days since 1899-12-30.
  if (!std::isfinite(days) || days < -657434.0 || days >= 2958466.0) return "?";
  // The whole part counts days, the fraction is the time of day, also for
  // dates before 1899-12-30 (where -1.25 is 1899-12-29 06:00).
  const double whole = std::trunc(days);
  std::int64_t ms = std::llround(std::fabs(days - whole) * 86400000.0);
  auto day_number = static_cast<std::int64_t>(whole);
  if (ms >= 86400000) {
    ms -= 86400000;
    day_number += days < 0 ? -1 : 1;
  }
  const year_month_day date{sys_days{year{1899} / December / 30} + std::chrono::days{day_number}};

  std::tm tm{};
  tm.tm_year = static_cast<int>(date.year()) - 1900;
  tm.tm_mon = static_cast<int>(static_cast<unsigned>(date.month())) - 1;
  tm.tm_mday = static_cast<int>(static_cast<unsigned>(date.day()));
  tm.tm_wday = static_cast<int>(weekday{sys_days{date}}.c_encoding());
  tm.tm_hour = static_cast<int>(ms / 3600000);
  tm.tm_min = static_cast<int>(ms / 60000 % 60);
  tm.tm_sec = static_cast<int>(ms / 1000 % 60);
  tm.tm_isdst = -1;

  const std::string pattern = ms == 0 ? locale.date_pattern : locale.date_pattern + " " + locale.time_pattern;
  char buffer[256];
  // The patterns come from the locale (or a test), never from a file or the
  // network; strftime writes at most sizeof buffer bytes.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  const std::size_t size = std::strftime(buffer, sizeof buffer, pattern.c_str(), &tm);
#pragma GCC diagnostic pop
  return std::string(buffer, size);
}

}  // namespace korvan
