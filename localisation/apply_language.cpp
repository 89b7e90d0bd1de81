#include "localisation/apply_language.h"

#include <system_error>

#include "localisation/ascii_text.h"
#include "localisation/page_templates.h"
#include "localisation/product_version.h"
#include "localisation/unescape.h"

namespace korvan {
namespace {

// The help file name comes from a file anyone may have written: it may only
// name something inside the program folder.
std::filesystem::path HelpFilePath(const std::filesystem::path& app_dir, std::string_view name) {
  if (name.empty()) return {};
  const std::filesystem::path relative(name);
  if (relative.is_absolute() || relative.has_root_name()) return {};
  for (const auto& part : relative) {
    if (part == "..") return {};
  }
  std::filesystem::path full = app_dir / relative;
  std::error_code ec;
  return std::filesystem::exists(full, ec) ? full : std::filesystem::path{};
}

void ReadCaptions(const IniDocument& file, LanguageState& state) {
  CaptionTable& captions = state.captions;
  for (std::string_view key : kMainFormCaptionKeys) {
    if (auto value = file.Find(kSectionMainForm, key)) captions.main_form[ControlName(key)] = Unescape(*value);
  }
  for (std::size_t column = 0; column < kGridColumnKeys.size(); ++column) {
    if (auto value = file.Find(kSectionMainForm, kGridColumnKeys[column])) {
      captions.grid_columns[column] = Unescape(*value);
    }
  }
  for (std::string_view key : kPortSetupCaptionKeys) {
    if (auto value = file.Find(kSectionPortSetup, key)) captions.port_setup[ControlName(key)] = Unescape(*value);
  }
  if (auto value = file.Find(kSectionPortSetup, kPortSetupTitleKey)) captions.port_setup_title = Unescape(*value);
}

}  // namespace

bool ReadMessage(const IniDocument& file, TextKey key, TextTable& texts) {
  const auto value = file.Find(kSectionMessages, KeyName(key));
  if (!value) return false;
  texts.Replace(key, Unescape(*value));
  return true;
}

void ApplyLanguage(const std::filesystem::path& path, const std::filesystem::path& app_dir,
                   TextTable& texts, LanguageState& state) {
  ApplyLanguage(IniDocument::Load(path).value_or(IniDocument{}), app_dir, texts, state);
}

void ApplyLanguage(const IniDocument& file, const std::filesystem::path& app_dir, TextTable& texts,
                   LanguageState& state) {
  const std::string charset = AsciiUpper(file.Read(kSectionCommon, "Charset"));
  state.charset = charset == "RUSSIAN" ? kCharsetCyrillic : kCharsetCentralEurope;

  // An empty face name would leave the GUI guessing; it counts as missing.
  std::string font = file.Read(kSectionCommon, "FontName", kDefaultFontName);
  if (font.empty()) font = kDefaultFontName;
  state.font_name = AsciiUpper(font);

  state.help_file_name = file.Read(kSectionCommon, "HelpFile");
  state.help_file_path = HelpFilePath(app_dir, state.help_file_name);

  ReadCaptions(file, state);

  state.preferred_upd_languages = file.Read(kSectionCommon, "PreferredUpdLanguage");
  if (state.preferred_upd_languages.empty()) state.preferred_upd_languages = "en";

  TextTable::ForEachKey([&](TextKey key) { ReadMessage(file, key, texts); });

  state.version_text = VersionText();
  state.page_template = FillPageTemplate(texts, state.version_text);
  state.ftp_table_template = FillFtpTableTemplate(texts);
}

LanguageState InitialLanguageState(const TextTable& texts) {
  LanguageState state;
  state.version_text = VersionText();
  state.page_template = FillPageTemplate(texts, state.version_text);
  state.ftp_table_template = FillFtpTableTemplate(texts);
  return state;
}

}  // namespace korvan
