// What applying a language leaves behind for the rest of the program: the
// fonts and captions for the GUI, the help file, the preferred languages of
// update descriptions and the filled page templates. The text table itself
// is separate (TextTable), because it is the one part read by other threads.
//
// Thread safety: owned and used by the main thread only.
#pragma once

#include <array>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "localisation/caption_keys.h"
#include "localisation/text_table.h"

namespace korvan {

inline constexpr int kCharsetCentralEurope = 238;
inline constexpr int kCharsetCyrillic = 204;
inline constexpr std::string_view kDefaultFontName = "MS Sans Serif";

// Captions collected from the language files applied so far. A caption that
// a later file does not name keeps the earlier file's text.
struct CaptionTable {
  std::map<std::string, std::string> main_form;   // control name ("_UpdateInfo") -> caption
  std::array<std::optional<std::string>, kGridColumnKeys.size()> grid_columns;
  std::map<std::string, std::string> port_setup;  // control name ("_TargetHost") -> caption
  std::optional<std::string> port_setup_title;
};

struct LanguageState {
  // Font of the main window and of the port setup dialog.
  int charset = kCharsetCentralEurope;
  std::string font_name = std::string(kDefaultFontName);
  // [Common] HelpFile as read (may be empty), and the full name of that file
  // when it exists in the program folder, else empty.
  std::string help_file_name;
  std::filesystem::path help_file_path;
  // Comma-separated language codes, most wanted first.
  std::string preferred_upd_languages = "en,cz,sk";
  CaptionTable captions;
  std::string version_text;
  // Patterns for FormatText, see page_templates.h.
  std::string page_template;
  std::string ftp_table_template;
};

// The state before any language file was applied, with the page templates
// filled from `texts` (normally still the Czech defaults).
LanguageState InitialLanguageState(const TextTable& texts);

}  // namespace korvan
