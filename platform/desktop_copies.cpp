#include "platform/desktop_proxy_backend.h"

namespace korvan {
namespace {

// Bytes that separate the parts of the text, the escape itself, and
// everything a profile line could not hold.
bool Reserved(unsigned char c) {
  return c == '%' || c == ':' || c == ',' || c == ';' || c == '=' || c < 0x20 || c >= 0x7f;
}

std::string Escape(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (Reserved(c)) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  if (text.empty()) return parts;
  while (true) {
    const std::size_t end = text.find(separator);
    parts.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return parts;
}

}  // namespace

std::string EncodeDesktopCopies(const std::vector<std::pair<std::string, DesktopValues>>& copies) {
  std::string text;
  for (const auto& [desktop, values] : copies) {
    if (!text.empty()) text += ';';
    text += Escape(desktop) + ":";
    bool first = true;
    for (const auto& [key, value] : values) {
      if (!first) text += ',';
      first = false;
      text += Escape(key) + "=" + Escape(value);
    }
  }
  return text;
}

std::vector<std::pair<std::string, DesktopValues>> DecodeDesktopCopies(std::string_view text) {
  std::vector<std::pair<std::string, DesktopValues>> copies;
  for (const std::string_view part : Split(text, ';')) {
    const std::size_t colon = part.find(':');
    if (colon == std::string_view::npos || colon == 0) continue;
    DesktopValues values;
    for (const std::string_view pair : Split(part.substr(colon + 1), ',')) {
      const std::size_t equals = pair.find('=');
      if (equals == std::string_view::npos || equals == 0) continue;
      values.emplace_back(Unescape(pair.substr(0, equals)), Unescape(pair.substr(equals + 1)));
    }
    copies.emplace_back(Unescape(part.substr(0, colon)), std::move(values));
  }
  return copies;
}

}  // namespace korvan
