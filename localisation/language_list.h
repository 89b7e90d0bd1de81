// The language files offered to the user and the choice among them.
//
// Thread rule: pure functions over the folder and the environment; the main
// thread calls them.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvan {

// One language file found in the program folder.
struct TSupportLanguages {
  std::string FileName;      // name without folder, e.g. "en.kvl"
  std::string LanguageName;  // [Common] LanguageName; never empty in a list
};
using TSupportLanguagesAr = std::vector<TSupportLanguages>;

// The "*.kvl" files of `folder` (extension matched without regard to case)
// that name a language, sorted by file name: directory order on Linux is
// arbitrary, and the first entry is the fall-back choice. Files that cannot
// be read are left out; a missing folder gives an empty list.
TSupportLanguagesAr FindLanguages(const std::filesystem::path& folder);

// The entry to select: the one whose FileName equals `stored` exactly (the
// configuration's choice), else the one named `<user_language>.kvl` (without
// regard to case), else the first. nullopt for an empty list.
std::optional<std::size_t> SelectLanguage(const TSupportLanguagesAr& languages, std::string_view stored,
                                          std::string_view user_language);

// The language code of a locale name: "cs_CZ.UTF-8" -> "cs". Empty for
// "C", "POSIX" and an empty name.
std::string LanguageCodeOfLocale(std::string_view locale);

// The user's language code from LC_ALL, LC_MESSAGES or LANG, the first one
// set and not empty; empty when none is.
std::string UserLanguageCode();

}  // namespace korvan
