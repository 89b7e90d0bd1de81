// The language files that the build puts into the program folder.
#include <gtest/gtest.h>

#include <regex>

#include "localisation/apply_language.h"
#include "localisation/caption_keys.h"
#include "localisation/language_list.h"
#include "tests/support/test_paths.h"

namespace korvan {
namespace {

IniDocument LoadShipped(const char* name) {
  std::string error;
  auto file = IniDocument::Load(test::BinDir() / name, &error);
  if (!file) ADD_FAILURE() << error;
  return file.value_or(IniDocument{});
}

// The placeholders of a text, in order, e.g. "%S%S".
std::string Placeholders(const std::string& text) {
  static const std::regex placeholder("%[Ssd]");
  std::string found;
  for (std::sregex_iterator it(text.begin(), text.end(), placeholder), end; it != end; ++it) found += it->str();
  return found;
}

std::vector<std::string_view> AllCaptionKeys() {
  std::vector<std::string_view> keys(kMainFormCaptionKeys.begin(), kMainFormCaptionKeys.end());
  keys.insert(keys.end(), kGridColumnKeys.begin(), kGridColumnKeys.end());
  return keys;
}

TEST(ShippedLanguageFiles, AreOfferedInTheProgramFolder) {
  const TSupportLanguagesAr languages = FindLanguages(test::BinDir());
  ASSERT_GE(languages.size(), 2U);
  const auto named = [&](const char* file) {
    for (const auto& l : languages) {
      if (l.FileName == file) return l.LanguageName;
    }
    return std::string();
  };
  EXPECT_EQ(named("cs.kvl"), "\xC8" "e\x9Atina");  // code page 1250 bytes
  EXPECT_EQ(named("en.kvl"), "English");
}

TEST(ShippedLanguageFiles, NameEveryKeyAndNoUnknownOne) {
  for (const char* name : {"cs.kvl", "en.kvl"}) {
    SCOPED_TRACE(name);
    const IniDocument file = LoadShipped(name);
    TextTable::ForEachKey([&](TextKey key) {
      EXPECT_TRUE(file.Find(kSectionMessages, KeyName(key))) << KeyName(key);
    });
    for (std::string_view key : file.KeysOf(kSectionMessages)) EXPECT_TRUE(FindTextKey(key)) << key;

    const auto caption_keys = AllCaptionKeys();
    for (std::string_view key : caption_keys) EXPECT_TRUE(file.Find(kSectionMainForm, key)) << key;
    EXPECT_EQ(file.KeysOf(kSectionMainForm).size(), caption_keys.size());
    for (std::string_view key : kPortSetupCaptionKeys) EXPECT_TRUE(file.Find(kSectionPortSetup, key)) << key;
    EXPECT_TRUE(file.Find(kSectionPortSetup, kPortSetupTitleKey));
    EXPECT_EQ(file.KeysOf(kSectionPortSetup).size(), kPortSetupCaptionKeys.size() + 1);
  }
}

TEST(ShippedLanguageFiles, CzechRestoresEveryDefaultByteForByte) {
  TextTable texts;
  LanguageState state = InitialLanguageState(texts);
  TextTable::ForEachKey([&](TextKey key) { texts.Replace(key, "changed"); });
  ApplyLanguage(test::BinDir() / "cs.kvl", test::BinDir(), texts, state);
  TextTable::ForEachKey([&](TextKey key) { EXPECT_EQ(texts.Text(key), CzechDefault(key)) << KeyName(key); });
  EXPECT_EQ(state.captions.main_form.at("_KORVANService"),
            "KORVAN je spu\x9At\xECna jako slu\x9E" "ba, pou\x9Eijte ru\xE8n\xED nastaven\xED.");
}

TEST(ShippedLanguageFiles, EnglishKeepsThePlaceholdersOfEveryText) {
  TextTable texts;
  LanguageState state = InitialLanguageState(texts);
  ApplyLanguage(test::BinDir() / "en.kvl", test::BinDir(), texts, state);
  TextTable::ForEachKey([&](TextKey key) {
    const std::string text(texts.Text(key));
    EXPECT_EQ(Placeholders(text), Placeholders(std::string(CzechDefault(key)))) << KeyName(key);
    if (key != TextKey::NoCreditTitle && key != TextKey::LoginErrTitle && key != TextKey::GatewayErrTitle &&
        key != TextKey::btnOK && key != TextKey::Credit) {
      EXPECT_NE(text, CzechDefault(key)) << KeyName(key) << " is not translated";
    }
  });
  EXPECT_EQ(texts.Text(TextKey::DownloadOK_Restart).find('\n'), std::string::npos);
  EXPECT_EQ(texts.Text(TextKey::ReportGenerated).back(), ' ');
  EXPECT_EQ(state.captions.grid_columns[2], "Host");
}

}  // namespace
}  // namespace korvan
