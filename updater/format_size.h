// Byte counts as the update dialog shows them: "999 B", "0.98 KB",
// "1,000.00 KB", "0.98 MB", with the user's separators. The thresholds are
// 1000 bytes and 1024000 bytes, so 1000 bytes already show as 0.98 KB.
//
// Thread rule: pure function.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvan {

std::string FormatSize(std::int64_t bytes, std::string_view thousands_separator, std::string_view decimal_separator);

}  // namespace korvan
