#include "updater/update_description.h"

#include <array>
#include <vector>

namespace korvan {
namespace {

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find_first_of("\r\n", at);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + ((end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') ? 2 : 1);
  }
  return lines;
}

// A part that is no decimal number counts 0.
int PartValue(std::string_view part) { return ParseDecimal(part).value_or(0); }

}  // namespace

int CompareVersion(std::string_view text, const ProductVersion& running) {
  const std::array<int, 4> own{running.major, running.minor, running.release, running.build};
  for (const int mine : own) {
    const std::size_t dot = text.find('.');
    const int value = PartValue(text.substr(0, dot));
    // With no dot left the same text is read again for the next part.
    if (dot != std::string_view::npos) text.remove_prefix(dot + 1);
    if (value != mine) return value > mine ? 1 : -1;
  }
  return 0;
}

std::string FilterDescription(std::string_view description, const ProductVersion& running) {
  std::vector<std::string_view> lines = SplitLines(description);
  std::size_t i = 0;
  while (i < lines.size()) {
    if (lines[i].empty() || lines[i][0] != '[') {
      ++i;
      continue;
    }
    const std::string_view header = lines[i];
    const std::size_t close = header.find(']');
    const std::string_view version = close == std::string_view::npos ? std::string_view() : header.substr(1, close - 1);
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
    if (version.empty() || CompareVersion(version, running) > 0) continue;
    std::size_t end = i;
    while (end < lines.size() && (lines[end].empty() || lines[end][0] != '[')) ++end;
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i), lines.begin() + static_cast<std::ptrdiff_t>(end));
  }
  std::string out;
  for (const auto line : lines) out.append(line).append("\r\n");
  return out;
}

std::string PickDescription(const VersionInfoFile& info, std::string_view preferred) {
  std::size_t at = 0;
  while (at <= preferred.size()) {
    std::size_t comma = preferred.find(',', at);
    if (comma == std::string_view::npos) comma = preferred.size();
    const std::string value = info.Value("Description_" + std::string(preferred.substr(at, comma - at)));
    if (!value.empty()) return ReplaceAll(ReplaceAll(value, "#13", "\r"), "#10", "\n");
    at = comma + 1;
  }
  return {};
}

}  // namespace korvan
