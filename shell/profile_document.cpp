#include "shell/profile_document.h"

#include "localisation/ascii_text.h"

namespace korvan {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool HasOuterQuotes(std::string_view value) {
  return value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front();
}

std::string_view ValueOf(std::string_view line) {
  std::string_view value = Trim(line.substr(line.find('=') + 1));
  if (HasOuterQuotes(value)) value = value.substr(1, value.size() - 2);
  return value;
}

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

}  // namespace

ProfileDocument ProfileDocument::Parse(std::string_view bytes) {
  ProfileDocument doc;
  bool line_end_known = false;
  bool first = true;
  while (!bytes.empty()) {
    std::size_t end = 0;
    while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n') ++end;
    Line line;
    line.text = std::string(bytes.substr(0, end));
    if (end < bytes.size()) {
      const bool crlf = bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n';
      if (!line_end_known) {
        doc.line_end_ = bytes[end] == '\n' ? "\n" : "\r\n";
        line_end_known = true;
      }
      end += crlf ? 2 : 1;
    }
    bytes.remove_prefix(end);

    std::string_view content = line.text;
    if (first && content.substr(0, kUtf8Bom.size()) == kUtf8Bom) content.remove_prefix(kUtf8Bom.size());
    first = false;
    content = Trim(content);
    if (!content.empty() && content.front() == '[') {
      line.is_section = true;
      const std::string_view name = content.substr(1);
      line.name = std::string(Trim(name.substr(0, name.find(']'))));
    } else if (!content.empty() && content.front() != ';' && content.find('=') != std::string_view::npos) {
      line.is_entry = true;
      line.name = std::string(Trim(content.substr(0, content.find('='))));
    }
    doc.lines_.push_back(std::move(line));
  }
  return doc;
}

std::size_t ProfileDocument::FindSectionLine(std::string_view section) const {
  const std::string_view wanted = Trim(section);
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].is_section && EqualsNoCase(lines_[i].name, wanted)) return i;
  }
  return std::string::npos;
}

std::size_t ProfileDocument::FindEntryLine(std::size_t header, std::string_view key) const {
  const std::string_view wanted = Trim(key);
  for (std::size_t i = header + 1; i < lines_.size() && !lines_[i].is_section; ++i) {
    if (lines_[i].is_entry && EqualsNoCase(lines_[i].name, wanted)) return i;
  }
  return std::string::npos;
}

std::optional<std::string> ProfileDocument::Find(std::string_view section, std::string_view key) const {
  const std::size_t header = FindSectionLine(section);
  if (header == std::string::npos) return std::nullopt;
  const std::size_t entry = FindEntryLine(header, key);
  if (entry == std::string::npos) return std::nullopt;
  return std::string(ValueOf(lines_[entry].text));
}

std::string ProfileDocument::EncodeValue(std::string_view value) {
  value = value.substr(0, value.find_first_of("\r\n"));
  if (!value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) || HasOuterQuotes(value))) {
    return "\"" + std::string(value) + "\"";
  }
  return std::string(value);
}

void ProfileDocument::Write(std::string_view section, std::string_view key, std::string_view value) {
  Line entry;
  entry.is_entry = true;
  entry.name = std::string(Trim(key));
  entry.text = entry.name + "=" + EncodeValue(value);

  const std::size_t header = FindSectionLine(section);
  if (header == std::string::npos) {
    if (!lines_.empty() && !Trim(lines_.back().text).empty()) lines_.push_back(Line{});
    Line head;
    head.is_section = true;
    head.name = std::string(Trim(section));
    head.text = "[" + head.name + "]";
    lines_.push_back(std::move(head));
    lines_.push_back(std::move(entry));
    return;
  }
  const std::size_t existing = FindEntryLine(header, key);
  if (existing != std::string::npos) {
    entry.name = lines_[existing].name;  // keep the spelling the file has
    entry.text = entry.name + "=" + EncodeValue(value);
    lines_[existing] = std::move(entry);
    return;
  }
  std::size_t last = header;
  for (std::size_t i = header + 1; i < lines_.size() && !lines_[i].is_section; ++i) {
    if (lines_[i].is_entry) last = i;
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(last + 1), std::move(entry));
}

std::string ProfileDocument::Serialize() const {
  std::string out;
  // Every line ends with a break, the last one too, so that a later append
  // never joins two lines.
  for (const Line& line : lines_) out += line.text + line_end_;
  return out;
}

}  // namespace korvan
