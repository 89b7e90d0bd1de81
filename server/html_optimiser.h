// A conservative HTML minifier for the proxy's "optimise HTML" choice.
//
// It removes comments (keeping conditional comments, whose content begins
// with "[" or "<!") and collapses each run of two or more whitespace
// characters in text to one character: a newline when the run held one,
// else a space. It never changes a tag (attribute values included), the
// content of script, style, pre and textarea, or CDATA sections. Anything
// it cannot follow (an unterminated comment or tag) is copied unchanged to
// the end. The output is never longer than the input.
//
// Pure function; safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace korvan::server {

std::string OptimiseHtml(std::string_view html);

// False for bodies the minifier must not touch: UTF-16 (byte-order mark or
// NUL bytes), which would not parse as single-byte markup.
bool LooksLikeByteHtml(std::string_view html);

}  // namespace korvan::server
