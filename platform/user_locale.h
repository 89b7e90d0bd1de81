// The user's number separators and date and time patterns, read from the
// locale the environment names (LC_ALL, LC_NUMERIC / LC_TIME, LANG) and
// converted to code page 1250 like every text of the shell.
#pragma once

#include <string_view>

#include "shell/locale_format.h"

namespace korvan {

LocaleFormat UserLocaleFormat();

// `text` from `charset` to code page 1250; characters it lacks become "?".
std::string ToCodePage1250(std::string_view text, const char* charset);

}  // namespace korvan
