#include "updater/format_size.h"

#include <cmath>
#include <cstdio>

namespace korvan {
namespace {

// `value` rounded to `decimals` places, with thousands grouped.
std::string FormatNumber(double value, int decimals, std::string_view thousands, std::string_view decimal) {
  char digits[64];
  std::snprintf(digits, sizeof digits, "%.*f", decimals, std::fabs(value));
  std::string text(digits);
  const std::size_t point = text.find('.');
  std::string whole = text.substr(0, point);
  std::string out = value < 0 && text.find_first_not_of("0.") != std::string::npos ? "-" : "";
  for (std::size_t i = 0; i < whole.size(); ++i) {
    if (i > 0 && (whole.size() - i) % 3 == 0) out.append(thousands);
    out.push_back(whole[i]);
  }
  if (point != std::string::npos) out.append(decimal).append(text.substr(point + 1));
  return out;
}

}  // namespace

std::string FormatSize(std::int64_t bytes, std::string_view thousands_separator, std::string_view decimal_separator) {
  const std::uint64_t magnitude = bytes < 0 ? 0 - static_cast<std::uint64_t>(bytes) : static_cast<std::uint64_t>(bytes);
  if (magnitude >= 1024000) {
    return FormatNumber(static_cast<double>(bytes) / 1048576.0, 2, thousands_separator, decimal_separator) + " MB";
  }
  if (magnitude < 1000) return FormatNumber(static_cast<double>(bytes), 0, thousands_separator, decimal_separator) + " B";
  return FormatNumber(static_cast<double>(bytes) / 1024.0, 2, thousands_separator, decimal_separator) + " KB";
}

}  // namespace korvan
