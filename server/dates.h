// Calendar dates of the account records and their wire form.
//
// Accounts keep plain dates (YYYY-MM-DD, UTC). On the wire a date travels as
// a 64-bit float counting days since 1899-12-30, the date's midnight; 0 means
// "unknown". Pure functions, safe from any thread.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvan::server {

struct Date {
  int year = 1970;
  int month = 1;
  int day = 1;
  auto operator<=>(const Date&) const = default;
};

// Accepts exactly YYYY-MM-DD with a real day of the month, years 1900..9999.
std::optional<Date> ParseDate(std::string_view text);
std::string FormatDate(const Date& date);

// Days since 1970-01-01 and back.
std::int64_t DaysSinceUnixEpoch(const Date& date);
Date DateFromUnixDays(std::int64_t days);

// The wire value: days since 1899-12-30; 0 for no date.
double WireDate(const std::optional<Date>& date);

// Today's date in UTC.
Date TodayUtc();

}  // namespace korvan::server
