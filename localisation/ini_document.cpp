#include "localisation/ini_document.h"

#include <fstream>
#include <system_error>

#include "localisation/ascii_text.h"

namespace korvan {
namespace {

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view StripQuotes(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// Splits off the next line; CR, LF and CR LF all end a line.
std::string_view NextLine(std::string_view& rest) {
  std::size_t end = 0;
  while (end < rest.size() && rest[end] != '\r' && rest[end] != '\n') ++end;
  const std::string_view line = rest.substr(0, end);
  if (end < rest.size()) {
    const bool crlf = rest[end] == '\r' && end + 1 < rest.size() && rest[end + 1] == '\n';
    end += crlf ? 2 : 1;
  }
  rest.remove_prefix(end);
  return line;
}

void SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

}  // namespace

IniDocument IniDocument::Parse(std::string_view bytes) {
  IniDocument doc;
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);

  Section* current = nullptr;  // null: before any section, or a repeated one
  while (!bytes.empty()) {
    const std::string_view line = Trim(NextLine(bytes));
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      std::string_view name = line.substr(1);
      name = Trim(name.substr(0, name.find(']')));
      const auto [it, added] = doc.section_index_.emplace(AsciiLower(name), doc.sections_.size());
      if (added) {
        doc.sections_.emplace_back();
        current = &doc.sections_.back();
      } else {
        current = nullptr;
      }
      continue;
    }
    const std::size_t eq = line.find('=');
    if (current == nullptr || eq == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, eq));
    const std::string_view value = StripQuotes(Trim(line.substr(eq + 1)));
    if (current->index.emplace(AsciiLower(key), current->entries.size()).second) {
      current->entries.emplace_back(std::string(key), std::string(value));
    }
  }
  return doc;
}

std::optional<IniDocument> IniDocument::Load(const std::filesystem::path& path, std::string* error) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    SetError(error, "not a readable file: " + path.string());
    return std::nullopt;
  }
  const auto size = std::filesystem::file_size(path, ec);
  if (ec) {
    SetError(error, "cannot read " + path.string() + ": " + ec.message());
    return std::nullopt;
  }
  if (size > kMaxFileSize) {
    SetError(error, path.string() + " is larger than " + std::to_string(kMaxFileSize) + " bytes");
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  if (!in || !in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
    SetError(error, "cannot read " + path.string());
    return std::nullopt;
  }
  // The file may have changed since its size was taken: never read on past
  // what was asked for, and do not trust a short read.
  if (in.peek() != std::char_traits<char>::eof()) {
    SetError(error, path.string() + " changed while it was read");
    return std::nullopt;
  }
  return Parse(bytes);
}

const IniDocument::Section* IniDocument::FindSection(std::string_view section) const {
  const auto it = section_index_.find(AsciiLower(section));
  return it == section_index_.end() ? nullptr : &sections_[it->second];
}

std::optional<std::string_view> IniDocument::Find(std::string_view section, std::string_view key) const {
  const Section* s = FindSection(section);
  if (s == nullptr) return std::nullopt;
  const auto it = s->index.find(AsciiLower(key));
  if (it == s->index.end()) return std::nullopt;
  return s->entries[it->second].second;
}

std::string IniDocument::Read(std::string_view section, std::string_view key, std::string_view fallback) const {
  return std::string(Find(section, key).value_or(fallback));
}

bool IniDocument::HasSection(std::string_view section) const { return FindSection(section) != nullptr; }

std::vector<std::string_view> IniDocument::KeysOf(std::string_view section) const {
  std::vector<std::string_view> keys;
  if (const Section* s = FindSection(section)) {
    for (const auto& entry : s->entries) keys.push_back(entry.first);
  }
  return keys;
}

}  // namespace korvan
