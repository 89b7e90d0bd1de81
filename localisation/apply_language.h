// Applying one language file. Everything the file does not name stays as it
// was, so languages are applied on top of each other.
#pragma once

#include <filesystem>

#include "localisation/ini_document.h"
#include "localisation/language_state.h"
#include "localisation/text_table.h"

namespace korvan {

// If [Messages] holds `key`, stores its unescaped value as the entry's new
// text and returns true; otherwise leaves the entry and returns false.
bool ReadMessage(const IniDocument& file, TextKey key, TextTable& texts);

// Applies the language file at `path`. A file that cannot be read behaves as
// an empty one: no caption and no text changes, and the [Common] values fall
// back to their defaults. `app_dir` is the program folder (help files).
// Main thread only; other threads may look texts up meanwhile.
void ApplyLanguage(const std::filesystem::path& path, const std::filesystem::path& app_dir,
                   TextTable& texts, LanguageState& state);

// The same for a file already parsed.
void ApplyLanguage(const IniDocument& file, const std::filesystem::path& app_dir, TextTable& texts,
                   LanguageState& state);

}  // namespace korvan
