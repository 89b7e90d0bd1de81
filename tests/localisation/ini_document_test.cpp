#include "localisation/ini_document.h"

#include <gtest/gtest.h>

#include "tests/localisation/temp_folder.h"

namespace korvan {
namespace {

TEST(IniDocument, MatchesSectionsAndKeysWithoutRegardToCase) {
  const auto ini = IniDocument::Parse("[Messages]\r\nUpdateOK=Done\r\n[COMMON]\r\ncharset=RUSSIAN\r\n");
  EXPECT_EQ(ini.Find("messages", "UPDATEOK"), "Done");
  EXPECT_EQ(ini.Find("Common", "Charset"), "RUSSIAN");
  EXPECT_EQ(ini.Find("Common", "UpdateOK"), std::nullopt);
  EXPECT_TRUE(ini.HasSection("MESSAGES"));
}

TEST(IniDocument, ReadsValuesLikeTheProfileFunctions) {
  const auto ini = IniDocument::Parse(
      "\xEF\xBB\xBF"
      "orphan=before any section\n"
      "[ A ]\n"
      "  spaced  =  inner  value \t\n"
      "quoted=\"  kept  \"\n"
      "single='x'\n"
      "unbalanced=\"x'\n"
      "equals=a=b\n"
      "; comment=no\n"
      "no equals sign\n"
      "empty=\n"
      "first=1\n"
      "FIRST=2\n"
      "[a]\n"
      "later=ignored\n");
  EXPECT_EQ(ini.Find("A", "spaced"), "inner  value");
  EXPECT_EQ(ini.Find("A", "quoted"), "  kept  ");
  EXPECT_EQ(ini.Find("A", "single"), "x");
  EXPECT_EQ(ini.Find("A", "unbalanced"), "\"x'");
  EXPECT_EQ(ini.Find("A", "equals"), "a=b");
  EXPECT_EQ(ini.Find("A", "; comment"), std::nullopt);
  EXPECT_EQ(ini.Find("A", "first"), "1");
  EXPECT_EQ(ini.Find("A", "later"), std::nullopt);
  EXPECT_EQ(ini.Find("A", "orphan"), std::nullopt);
  // A present empty value is not the fall-back.
  EXPECT_EQ(ini.Read("A", "empty", "default"), "");
  EXPECT_EQ(ini.Read("A", "missing", "default"), "default");
  const std::vector<std::string_view> keys = {"spaced", "quoted", "single", "unbalanced", "equals", "empty", "first"};
  EXPECT_EQ(ini.KeysOf("a"), keys);
}

TEST(IniDocument, AcceptsEveryLineEndAndKeepsBytesAsTheyStand) {
  static const char kText[] = "[S]\rcr=1\nlf=2\r\ncrlf=3\n\nbytes=\xE8\x9A\x00\xFF";
  const auto ini = IniDocument::Parse(std::string_view(kText, sizeof(kText) - 1));
  EXPECT_EQ(ini.Find("S", "cr"), "1");
  EXPECT_EQ(ini.Find("S", "lf"), "2");
  EXPECT_EQ(ini.Find("S", "crlf"), "3");
  EXPECT_EQ(ini.Find("S", "bytes"), std::string_view("\xE8\x9A\x00\xFF", 4));
}

TEST(IniDocument, SurvivesTruncatedAndOddLines) {
  for (const char* text : {"[", "[]", "[S", "[S]\n=", "[S]\n=value", "[S]\nkey", "\xEF\xBB", "]\n[=]"}) {
    const auto ini = IniDocument::Parse(text);
    EXPECT_EQ(ini.Find("S", "key"), std::nullopt) << text;
  }
  EXPECT_EQ(IniDocument::Parse("[S]\n=value").Find("S", ""), "value");
}

TEST(IniDocument, LoadRefusesMissingAndOversizedFiles) {
  const test::TempFolder folder;
  std::string error;
  EXPECT_FALSE(IniDocument::Load(folder.path() / "missing.kvl", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(IniDocument::Load(folder.path(), &error));

  const auto big = folder.Write("big.kvl", std::string(IniDocument::kMaxFileSize + 1, ' '));
  EXPECT_FALSE(IniDocument::Load(big, &error));

  const auto good = folder.Write("good.kvl", "[Common]\r\nLanguageName=English\r\n");
  const auto ini = IniDocument::Load(good);
  ASSERT_TRUE(ini);
  EXPECT_EQ(ini->Find("common", "languagename"), "English");
}

}  // namespace
}  // namespace korvan
