#include "localisation/language_list.h"

#include <algorithm>
#include <cstdlib>
#include <system_error>

#include "localisation/ascii_text.h"
#include "localisation/caption_keys.h"
#include "localisation/ini_document.h"

namespace korvan {
namespace {

constexpr std::string_view kExtension = ".kvl";

bool IsLanguageFileName(std::string_view name) {
  return name.size() > kExtension.size() &&
         EqualsNoCase(name.substr(name.size() - kExtension.size()), kExtension);
}

}  // namespace

TSupportLanguagesAr FindLanguages(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    std::error_code type_ec;
    if (IsLanguageFileName(name) && it->is_regular_file(type_ec)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());

  TSupportLanguagesAr languages;
  for (std::string& name : names) {
    const auto file = IniDocument::Load(folder / name);
    if (!file) continue;
    std::string language_name = file->Read(kSectionCommon, "LanguageName");
    if (!language_name.empty()) languages.push_back({std::move(name), std::move(language_name)});
  }
  return languages;
}

std::optional<std::size_t> SelectLanguage(const TSupportLanguagesAr& languages, std::string_view stored,
                                          std::string_view user_language) {
  if (languages.empty()) return std::nullopt;
  const auto find = [&](auto matches) -> std::optional<std::size_t> {
    const auto it = std::find_if(languages.begin(), languages.end(), matches);
    if (it == languages.end()) return std::nullopt;
    return static_cast<std::size_t>(it - languages.begin());
  };
  if (!stored.empty()) {
    if (auto hit = find([&](const TSupportLanguages& l) { return l.FileName == stored; })) return hit;
  }
  if (!user_language.empty()) {
    const std::string wanted = std::string(user_language) + std::string(kExtension);
    if (auto hit = find([&](const TSupportLanguages& l) { return EqualsNoCase(l.FileName, wanted); })) return hit;
  }
  return 0;
}

std::string LanguageCodeOfLocale(std::string_view locale) {
  const std::string_view code = locale.substr(0, locale.find_first_of("_.@"));
  if (code == "C" || code == "POSIX") return {};
  return AsciiLower(code);
}

std::string UserLanguageCode() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return LanguageCodeOfLocale(value);
  }
  return {};
}

}  // namespace korvan
