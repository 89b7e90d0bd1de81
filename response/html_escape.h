// Escaping of data that comes from the network before it goes into a page.
#pragma once

#include <string>
#include <string_view>

namespace korvan {

// Replaces & < > " ' by character references; every other byte stays.
std::string EscapeHtml(std::string_view text);

}  // namespace korvan
