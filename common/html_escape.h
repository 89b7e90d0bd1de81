// Escaping of data that comes from the network before it goes into a page.
#pragma once

#include <string>
#include <string_view>

namespace korvan {

// Replaces & < > " ' by character references; every other byte stays.
inline std::string EscapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

}  // namespace korvan
