// A read-only INI document with the reading rules of the Windows profile
// functions, which language files were written for:
//  - a line is "[section]", "key=value", a comment starting with ";", or
//    ignored (blank, no "=", or before the first section);
//  - lines end at CR, LF or CR LF; a UTF-8 byte-order mark at the start is
//    skipped;
//  - names and values lose leading and trailing spaces and tabs, and a value
//    enclosed in a pair of matching double or single quotes loses them;
//  - section and key names are matched without regard to ASCII case; when a
//    section or a key occurs twice, the first one counts.
// Values are bytes as they stand (code page 1250 for language files).
//
// Parsing accepts any bytes. An instance is immutable after construction and
// may be read from several threads.
//
// Thread rule: a value; any thread may use its own copy.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvan {

class IniDocument {
 public:
  // Language files are small; anything bigger is refused rather than read.
  static constexpr std::size_t kMaxFileSize = 1 << 20;

  IniDocument() = default;  // empty: every look-up misses
  static IniDocument Parse(std::string_view bytes);
  // Reads and parses a file. nullopt when it cannot be read or exceeds
  // kMaxFileSize; *error (when given) then says why.
  static std::optional<IniDocument> Load(const std::filesystem::path& path, std::string* error = nullptr);

  std::optional<std::string_view> Find(std::string_view section, std::string_view key) const;
  // The value, or `fallback` when the key is missing (an empty value is kept).
  std::string Read(std::string_view section, std::string_view key, std::string_view fallback = {}) const;
  bool HasSection(std::string_view section) const;
  // Key names of a section in file order (first occurrences only).
  std::vector<std::string_view> KeysOf(std::string_view section) const;

 private:
  struct Section {
    std::vector<std::pair<std::string, std::string>> entries;
    std::unordered_map<std::string, std::size_t> index;  // lower-case key -> entry
  };
  const Section* FindSection(std::string_view section) const;

  std::vector<Section> sections_;
  std::unordered_map<std::string, std::size_t> section_index_;  // lower-case name -> section
};

}  // namespace korvan
