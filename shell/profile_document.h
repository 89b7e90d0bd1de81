// The text of a profile (INI) file, read and edited with the rules of the
// Windows profile functions that the configuration was designed around:
//  - lines are "[section]", "key=value", ";comment" or ignored; they end at
//    CR, LF or CR LF;
//  - section and key names match without regard to ASCII case, and when one
//    occurs twice the first occurrence counts;
//  - a read value loses leading and trailing blanks and one pair of matching
//    quotes around it.
// Editing keeps every other line as it was: a key that exists is rewritten
// in place, a new key goes after the last entry of its section, a new
// section goes to the end of the file.
//
// Any byte sequence parses. Not thread-safe; one owner at a time.
//
// Thread rule: a value; any thread may use its own copy.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvan {

class ProfileDocument {
 public:
  ProfileDocument() = default;
  static ProfileDocument Parse(std::string_view bytes);

  std::optional<std::string> Find(std::string_view section, std::string_view key) const;

  // Sets the key, creating section and key as needed. A value that the
  // reading rules would change (outer blanks, outer quotes) is written
  // inside an extra pair of quotes so that it reads back exactly; a line
  // break ends the value, since it cannot be stored in one line.
  void Write(std::string_view section, std::string_view key, std::string_view value);

  std::string Serialize() const;

  // The stored form of `value`, as Write puts it after "key=".
  static std::string EncodeValue(std::string_view value);

 private:
  struct Line {
    std::string text;
    bool is_section = false;
    bool is_entry = false;
    std::string name;  // section name or key name, as written
  };
  // Index of the header line of the first section called `section`, or npos.
  std::size_t FindSectionLine(std::string_view section) const;
  // The entry line of `key` in the section whose header is at `header`.
  std::size_t FindEntryLine(std::size_t header, std::string_view key) const;

  std::vector<Line> lines_;
  std::string line_end_ = "\r\n";  // a new file gets CR LF; a read one keeps its own
};

}  // namespace korvan
