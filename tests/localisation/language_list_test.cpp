#include "localisation/language_list.h"

#include <gtest/gtest.h>

#include "tests/localisation/temp_folder.h"

namespace korvan {
namespace {

TEST(FindLanguages, ListsNamedLanguageFilesSortedByFileName) {
  const test::TempFolder folder;
  folder.Write("sk.kvl", "[Common]\nLanguageName=Sloven\xE8ina\n");
  folder.Write("EN.KVL", "[common]\nlanguagename=English\n");
  folder.Write("cs.kvl", "[Common]\nLanguageName=\xC8" "e\x9Atina\n");
  folder.Write("unnamed.kvl", "[Common]\nCharset=RUSSIAN\n");
  folder.Write("empty-name.kvl", "[Common]\nLanguageName=\n");
  folder.Write("notes.txt", "[Common]\nLanguageName=Notes\n");
  folder.Write(".kvl", "[Common]\nLanguageName=Nameless\n");
  std::filesystem::create_directory(folder.path() / "folder.kvl");

  const TSupportLanguagesAr languages = FindLanguages(folder.path());
  ASSERT_EQ(languages.size(), 3U);
  EXPECT_EQ(languages[0].FileName, "EN.KVL");
  EXPECT_EQ(languages[0].LanguageName, "English");
  EXPECT_EQ(languages[1].FileName, "cs.kvl");
  EXPECT_EQ(languages[1].LanguageName, "\xC8" "e\x9Atina");
  EXPECT_EQ(languages[2].FileName, "sk.kvl");

  EXPECT_TRUE(FindLanguages(folder.path() / "no such folder").empty());
}

TEST(SelectLanguage, PrefersTheStoredChoiceThenTheUserLanguageThenTheFirst) {
  const TSupportLanguagesAr languages = {{"cs.kvl", "Czech"}, {"en.kvl", "English"}, {"sk.kvl", "Slovak"}};
  EXPECT_EQ(SelectLanguage(languages, "sk.kvl", "en"), 2U);
  // The stored name is compared exactly: a different case is no match.
  EXPECT_EQ(SelectLanguage(languages, "SK.kvl", ""), 0U);
  EXPECT_EQ(SelectLanguage(languages, "SK.kvl", "en"), 1U);
  EXPECT_EQ(SelectLanguage(languages, "", "EN"), 1U);
  EXPECT_EQ(SelectLanguage(languages, "", "de"), 0U);
  EXPECT_EQ(SelectLanguage({}, "cs.kvl", "cs"), std::nullopt);
}

TEST(SelectLanguage, TakesTheLanguageCodeOfALocaleName) {
  EXPECT_EQ(LanguageCodeOfLocale("cs_CZ.UTF-8"), "cs");
  EXPECT_EQ(LanguageCodeOfLocale("en_GB"), "en");
  EXPECT_EQ(LanguageCodeOfLocale("sr@latin"), "sr");
  EXPECT_EQ(LanguageCodeOfLocale("C.UTF-8"), "");
  EXPECT_EQ(LanguageCodeOfLocale("POSIX"), "");
}

}  // namespace
}  // namespace korvan
