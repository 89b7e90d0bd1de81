// The keys of one group in a KDE configuration file ("[Group]" then
// "Key=Value" lines), changed in place: every other line, comment and group
// stays as it was. Values are kept as the file holds them (KDE's escapes
// included); Unescape and Escape turn them into text and back.
//
// Thread rule: a value type; no shared state.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvan {

class KConfigFile {
 public:
  // An empty file when `path` does not exist; nullopt and *error when it
  // exists but cannot be read.
  static std::optional<KConfigFile> Load(const std::filesystem::path& path, std::string* error);
  // The file whose bytes are `text`, split into lines at LF.
  static KConfigFile FromText(std::string_view text);

  std::optional<std::string> Get(std::string_view group, std::string_view key) const;
  // Sets the key (the first line of it; further lines of the same key go),
  // adding it at the end of the group, and the group at the end of the file.
  void Set(std::string_view group, std::string_view key, std::string_view raw_value);
  void Remove(std::string_view group, std::string_view key);

  // Writes a new file beside the old one and renames it over it; the old
  // file's mode is kept. False and *error on failure (the old file stays).
  bool Save(const std::filesystem::path& path, std::string* error) const;

  std::string Text() const;

  static std::string Unescape(std::string_view raw);
  static std::string Escape(std::string_view text);

 private:
  // Indexes of the lines of `group` that hold `key`.
  std::vector<std::size_t> KeyLines(std::string_view group, std::string_view key) const;
  std::vector<std::string> lines_;
};

}  // namespace korvan
