// Numbers as the statistics show them: KiB values scaled to B, KB, MB, GB or
// TB with the locale's separators, and date-times as the locale writes them.
#pragma once

#include <string>

#include "shell/locale_format.h"

namespace korvan {

// `value` with exactly `decimals` decimals; thousands separators when
// `grouped`. Non-finite values come out as "?".
std::string FormatDecimal(double value, int decimals, bool grouped, const LocaleFormat& locale);

// A size given in KiB: "999 B", "0.98 KB", "1,000.00 KB", "0.98 MB", and
// above 1048576 KiB in GB, above 1073741824 KiB in TB. Negative values are
// shown in bytes.
std::string FormatKiBSize(double kib, const LocaleFormat& locale);

// A date-time counted in days since 1899-12-30 (fraction = time of day):
// date and time, or the date alone at exactly midnight. "?" for a value no
// calendar date fits (beyond years 100..9999, or not finite).
std::string FormatDateTime(double days, const LocaleFormat& locale);

}  // namespace korvan
