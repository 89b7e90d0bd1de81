#include "updater/version_info.h"

#include <charconv>

namespace korvan {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

VersionInfoFile::VersionInfoFile(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find_first_of("\r\n", at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(at, end - at);
    const std::size_t equals = line.find('=');
    if (equals != std::string_view::npos) {
      lines_.emplace_back(std::string(line.substr(0, equals)), std::string(line.substr(equals + 1)));
    }
    // CR LF is one line end.
    at = end + ((end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') ? 2 : 1);
  }
}

std::string VersionInfoFile::Value(std::string_view key) const {
  for (const auto& [name, value] : lines_) {
    if (EqualsIgnoringCase(name, key)) return value;
  }
  return {};
}

std::optional<std::int32_t> ParseDecimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool IsSafeUpdateName(std::string_view name) {
  if (name.empty() || name == "." || name.find("..") != std::string_view::npos) return false;
  for (const char c : name) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace korvan
