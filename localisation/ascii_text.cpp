#include "localisation/ascii_text.h"

namespace korvan {
namespace {

bool MatchesAt(std::string_view text, std::size_t pos, std::string_view what, bool ignore_case) {
  if (text.size() - pos < what.size()) return false;
  for (std::size_t i = 0; i < what.size(); ++i) {
    const char a = text[pos + i];
    const char b = what[i];
    if (ignore_case ? AsciiLower(a) != AsciiLower(b) : a != b) return false;
  }
  return true;
}

std::string Replace(std::string_view text, std::string_view from, std::string_view to, bool ignore_case) {
  if (from.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (MatchesAt(text, pos, from, ignore_case)) {
      out.append(to);
      pos += from.size();
    } else {
      out.push_back(text[pos++]);
    }
  }
  return out;
}

}  // namespace

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string AsciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiUpper(c);
  return out;
}

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && MatchesAt(a, 0, b, true);
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  return Replace(text, from, to, false);
}

std::string ReplaceAllNoCase(std::string_view text, std::string_view from, std::string_view to) {
  return Replace(text, from, to, true);
}

}  // namespace korvan
