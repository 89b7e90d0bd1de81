// Byte-string helpers that know only ASCII letters. Texts are code-page-1250
// bytes, so locale-dependent case mapping would turn accented letters into
// other bytes; key names, section names and placeholders are plain ASCII.
#pragma once

#include <string>
#include <string_view>

namespace korvan {

char AsciiUpper(char c);
char AsciiLower(char c);
std::string AsciiUpper(std::string_view text);
std::string AsciiLower(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);

// Replaces every occurrence of `from` (non-empty) by `to`, scanning left to
// right; replaced text is not scanned again.
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);
// As ReplaceAll, matching `from` without regard to ASCII case.
std::string ReplaceAllNoCase(std::string_view text, std::string_view from, std::string_view to);

}  // namespace korvan
