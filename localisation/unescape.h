// The escapes of language-file values. INI values lose their leading and
// trailing blanks and cannot hold line breaks, so a file writes them as
// "#13" (CR), "#10" (LF) and "#32" (space).
#pragma once

#include <string>
#include <string_view>

namespace korvan {

// Replaces every "#13", then every "#10", then every "#32" (three passes, in
// this order, case-sensitive).
std::string Unescape(std::string_view text);

}  // namespace korvan
