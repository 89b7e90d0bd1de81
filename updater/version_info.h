// The version info file the update server publishes: text in lines (CR LF,
// LF or CR), each a key, "=" and a value. A key is looked up as the first
// line whose part before its first "=" equals the key without regard to
// case; a missing key reads as empty.
//
// Thread rule: a value; const methods may be used from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvan {

inline constexpr std::string_view kVersionInfoFile = "version_1_01.info";

class VersionInfoFile {
 public:
  explicit VersionInfoFile(std::string_view text);
  std::string Value(std::string_view key) const;
  std::size_t line_count() const { return lines_.size(); }

 private:
  std::vector<std::pair<std::string, std::string>> lines_;
};

// A decimal number (an optional "-" and digits, nothing else) that fits
// 32 bits; nullopt otherwise.
std::optional<std::int32_t> ParseDecimal(std::string_view text);

// True when `name` stays a plain file of the program folder: not empty, not
// absolute, no folder part ("/" or "\"), not "." and no "..", no control
// byte. Update/ holds only plain files, which the updater program moves
// into the program folder.
bool IsSafeUpdateName(std::string_view name);

// Equal without regard to ASCII case.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace korvan
