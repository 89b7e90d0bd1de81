#include "server/dates.h"

#include <chrono>
#include <cstdio>

namespace korvan::server {

namespace {

constexpr std::int64_t kWireEpochOffset = 25569;  // days from 1899-12-30 to 1970-01-01

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

int Digits(std::string_view text, std::size_t pos, std::size_t count) {
  int value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

std::optional<Date> ParseDate(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  const Date d{Digits(text, 0, 4), Digits(text, 5, 2), Digits(text, 8, 2)};
  if (d.year < 1900 || d.month < 1 || d.month > 12 || d.day < 1) return std::nullopt;
  if (d.day > DaysInMonth(d.year, d.month)) return std::nullopt;
  return d;
}

std::string FormatDate(const Date& date) {
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", date.year, date.month, date.day);
  return text;
}

// Civil-date arithmetic over 400-year eras, valid for the proleptic Gregorian calendar.
std::int64_t DaysSinceUnixEpoch(const Date& date) {
  const std::int64_t y = date.year - (date.month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t mp = (date.month + 9) % 12;
  const std::int64_t doy = (153 * mp + 2) / 5 + date.day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

Date DateFromUnixDays(std::int64_t days) {
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const int year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
  return {year, month, day};
}

double WireDate(const std::optional<Date>& date) {
  if (!date) return 0.0;
  return static_cast<double>(DaysSinceUnixEpoch(*date) + kWireEpochOffset);
}

Date TodayUtc() {
  const auto now = std::chrono::system_clock::now();
  const auto days = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count() / 86400;
  return DateFromUnixDays(days);
}

}  // namespace korvan::server
