#include "platform/kconfig_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/replace_file.h"

namespace korvan {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// "[Group]" -> "Group"; nullopt for a line that opens no group.
std::optional<std::string_view> GroupOf(std::string_view line) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[' || line.back() != ']') return std::nullopt;
  return line.substr(1, line.size() - 2);
}

// The key of a "Key=Value" line, without KDE's "[$i]" style modifiers.
std::optional<std::string_view> KeyOf(std::string_view line) {
  const std::string_view trimmed = Trim(line);
  if (trimmed.empty() || trimmed.front() == '#' || trimmed.front() == '[') return std::nullopt;
  const std::size_t equals = trimmed.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  std::string_view key = Trim(trimmed.substr(0, equals));
  if (const std::size_t bracket = key.find('['); bracket != std::string_view::npos) key = key.substr(0, bracket);
  return Trim(key);
}

}  // namespace

std::optional<KConfigFile> KConfigFile::Load(const std::filesystem::path& path, std::string* error) {
  KConfigFile file;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec) && !ec) return file;
    if (error != nullptr) *error = path.string() + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    if (error != nullptr) *error = path.string() + ": read error";
    return std::nullopt;
  }
  return FromText(text.str());
}

KConfigFile KConfigFile::FromText(std::string_view text) {
  KConfigFile file;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    file.lines_.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return file;
}

std::vector<std::size_t> KConfigFile::KeyLines(std::string_view group, std::string_view key) const {
  std::vector<std::size_t> found;
  bool inside = false;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (const auto g = GroupOf(lines_[i])) {
      inside = *g == group;
      continue;
    }
    if (!inside) continue;
    if (const auto k = KeyOf(lines_[i]); k && *k == key) found.push_back(i);
  }
  return found;
}

std::optional<std::string> KConfigFile::Get(std::string_view group, std::string_view key) const {
  const auto found = KeyLines(group, key);
  if (found.empty()) return std::nullopt;
  const std::string& line = lines_[found.front()];
  return std::string(Trim(std::string_view(line).substr(line.find('=') + 1)));
}

void KConfigFile::Set(std::string_view group, std::string_view key, std::string_view raw_value) {
  const std::string line = std::string(key) + "=" + std::string(raw_value);
  auto found = KeyLines(group, key);
  if (!found.empty()) {
    lines_[found.front()] = line;
    for (auto it = found.rbegin(); it + 1 != found.rend(); ++it) lines_.erase(lines_.begin() + static_cast<long>(*it));
    return;
  }
  // After the group's last entry, before the blank lines that end it.
  std::optional<std::size_t> insert_at;
  bool inside = false;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (const auto g = GroupOf(lines_[i])) {
      inside = *g == group;
      if (inside) insert_at = i + 1;
      continue;
    }
    if (inside && !Trim(lines_[i]).empty()) insert_at = i + 1;
  }
  if (!insert_at) {
    if (!lines_.empty() && !Trim(lines_.back()).empty()) lines_.emplace_back();
    lines_.push_back("[" + std::string(group) + "]");
    lines_.push_back(line);
    return;
  }
  lines_.insert(lines_.begin() + static_cast<long>(*insert_at), line);
}

void KConfigFile::Remove(std::string_view group, std::string_view key) {
  const auto found = KeyLines(group, key);
  for (auto it = found.rbegin(); it != found.rend(); ++it) lines_.erase(lines_.begin() + static_cast<long>(*it));
}

std::string KConfigFile::Text() const {
  std::string text;
  for (const auto& line : lines_) text += line + "\n";
  return text;
}

bool KConfigFile::Save(const std::filesystem::path& path, std::string* error) const {
  const int code = ReplaceFile(path, Text(), 0644);
  if (code == 0) return true;
  errno = code;
  if (error != nullptr) *error = path.string() + ": " + std::strerror(code);
  return false;
}

std::string KConfigFile::Unescape(std::string_view raw) {
  std::string text;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\' || i + 1 == raw.size()) {
      text += raw[i];
      continue;
    }
    const char next = raw[++i];
    switch (next) {
      case 's': text += ' '; break;
      case 't': text += '\t'; break;
      case 'n': text += '\n'; break;
      case 'r': text += '\r'; break;
      case '\\': text += '\\'; break;
      default: text += '\\'; text += next; break;
    }
  }
  return text;
}

std::string KConfigFile::Escape(std::string_view text) {
  std::string raw;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\') {
      raw += "\\\\";
    } else if (c == '\n') {
      raw += "\\n";
    } else if (c == '\t') {
      raw += "\\t";
    } else if (c == '\r') {
      raw += "\\r";
    } else if (c == ' ' && (i == 0 || i + 1 == text.size())) {
      raw += "\\s";
    } else {
      raw += c;
    }
  }
  return raw;
}

}  // namespace korvan
