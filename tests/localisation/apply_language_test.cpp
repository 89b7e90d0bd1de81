#include "localisation/apply_language.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "localisation/page_templates.h"
#include "localisation/product_version.h"
#include "localisation/text_format.h"
#include "tests/localisation/temp_folder.h"

namespace korvan {
namespace {

class ApplyLanguageTest : public ::testing::Test {
 protected:
  void Apply(std::string_view file) { ApplyLanguage(IniDocument::Parse(file), folder_.path(), texts_, state_); }

  test::TempFolder folder_;
  TextTable texts_;
  LanguageState state_ = InitialLanguageState(texts_);
};

TEST_F(ApplyLanguageTest, SetsCharsetAndFontName) {
  Apply("[Common]\nCharset=russian\nFontName=Arial\n");
  EXPECT_EQ(state_.charset, kCharsetCyrillic);
  EXPECT_EQ(state_.font_name, "ARIAL");

  Apply("[Common]\nCharset=EASTEUROPE\n");
  EXPECT_EQ(state_.charset, kCharsetCentralEurope);
  EXPECT_EQ(state_.font_name, "MS SANS SERIF");

  Apply("[Common]\nCharset=russian\nFontName=\n");
  Apply("[Other]\n");
  EXPECT_EQ(state_.charset, kCharsetCentralEurope);
  EXPECT_EQ(state_.font_name, "MS SANS SERIF");
}

TEST_F(ApplyLanguageTest, UnescapesMessagesAndLeavesUnnamedEntries) {
  EXPECT_EQ(state_.preferred_upd_languages, "en,cz,sk");
  Apply("[messages]\nupdateok=first#13#10second\nTrayShow=#32Show#32\nNoSuchKey=x\n"
        "TrayEnd=a#1332b\n");
  EXPECT_EQ(texts_.Text(TextKey::UpdateOK), "first\r\nsecond");
  EXPECT_EQ(texts_.Text(TextKey::TrayShow), " Show ");
  EXPECT_EQ(texts_.Text(TextKey::TrayEnd), "a\r32b");
  EXPECT_EQ(texts_.Text(TextKey::TrayRestart), "Restartovat");
  EXPECT_EQ(state_.preferred_upd_languages, "en");

  // File B does not name UpdateOK: the text of file A stays.
  Apply("[Messages]\nTrayShow=Zeigen\n[Common]\nPreferredUpdLanguage=de,en\n");
  EXPECT_EQ(texts_.Text(TextKey::UpdateOK), "first\r\nsecond");
  EXPECT_EQ(texts_.Text(TextKey::TrayShow), "Zeigen");
  EXPECT_EQ(state_.preferred_upd_languages, "de,en");
}

TEST_F(ApplyLanguageTest, CollectsCaptionsOfTranslatableControlsOnly) {
  Apply("[MainForm]\nupdateinfo=Refresh\nJPEGCompress=JPEG\nCheckNewUpdate=ignored\nRemoteHost=Host#13#10name\n"
        "tsMessages=Messages\n[PortSetup]\nTargetPort=Port:\nTitle=Protocol settings\nRemoteHost=not here\n");
  const CaptionTable& c = state_.captions;
  EXPECT_EQ(c.main_form.at("_UpdateInfo"), "Refresh");
  EXPECT_EQ(c.main_form.at("_JPEGCompress"), "JPEG");
  EXPECT_EQ(c.main_form.count("_CheckNewUpdate"), 0U);
  EXPECT_EQ(c.main_form.count("_RemoteHost"), 0U);
  EXPECT_EQ(c.grid_columns[2], "Host\r\nname");
  EXPECT_EQ(c.grid_columns[0], std::nullopt);
  EXPECT_EQ(c.port_setup.at("_TargetPort"), "Port:");
  EXPECT_EQ(c.port_setup.size(), 1U);
  EXPECT_EQ(c.port_setup_title, "Protocol settings");

  Apply("[MainForm]\ntsMessages=Zpr\xE1vy\n");
  EXPECT_EQ(c.main_form.at("_UpdateInfo"), "Refresh");
  EXPECT_EQ(c.main_form.at("_tsMessages"), "Zpr\xE1vy");
}

TEST_F(ApplyLanguageTest, FindsTheHelpFileOnlyInsideTheProgramFolder) {
  folder_.Write("help.chm", "help");
  Apply("[Common]\nHelpFile=help.chm\n");
  EXPECT_EQ(state_.help_file_name, "help.chm");
  EXPECT_EQ(state_.help_file_path, folder_.path() / "help.chm");

  Apply("[Common]\nHelpFile=absent.chm\n");
  EXPECT_EQ(state_.help_file_name, "absent.chm");
  EXPECT_TRUE(state_.help_file_path.empty());

  const std::string outside = "../" + folder_.path().filename().string() + "/help.chm";
  Apply("[Common]\nHelpFile=" + outside + "\n");
  EXPECT_TRUE(state_.help_file_path.empty());
  Apply("[Common]\nHelpFile=" + (folder_.path() / "help.chm").string() + "\n");
  EXPECT_TRUE(state_.help_file_path.empty());
}

TEST_F(ApplyLanguageTest, AVanishedFileResetsOnlyTheCommonValues) {
  folder_.Write("help.chm", "help");
  Apply("[Common]\nCharset=RUSSIAN\nFontName=Arial\nHelpFile=help.chm\nPreferredUpdLanguage=cz\n"
        "[Messages]\nUpdateOK=Done\n[MainForm]\nClearLog=&Clear\n");
  ApplyLanguage(folder_.path() / "vanished.kvl", folder_.path(), texts_, state_);
  EXPECT_EQ(state_.charset, kCharsetCentralEurope);
  EXPECT_EQ(state_.font_name, "MS SANS SERIF");
  EXPECT_EQ(state_.help_file_name, "");
  EXPECT_TRUE(state_.help_file_path.empty());
  EXPECT_EQ(state_.preferred_upd_languages, "en");
  EXPECT_EQ(texts_.Text(TextKey::UpdateOK), "Done");
  EXPECT_EQ(state_.captions.main_form.at("_ClearLog"), "&Clear");
}

TEST_F(ApplyLanguageTest, RebuildsTheTemplatesFromTheFixedOnes) {
  EXPECT_NE(state_.page_template.find(CzechDefault(TextKey::ReportGenerated)), std::string::npos);
  EXPECT_NE(state_.page_template.find(VersionText()), std::string::npos);

  Apply("[Messages]\nReportGenerated=Made by#32\nHelpDeskInfo=Ask us at#32\nFTPFileName=Name\nFTPSize=Size\n"
        "FTPDate=Date\n");
  EXPECT_NE(state_.page_template.find("Made by <a href="), std::string::npos);
  EXPECT_NE(state_.ftp_table_template.find("<B>&nbsp;Size&nbsp;<B>"), std::string::npos);

  Apply("[Messages]\nReportGenerated=Erzeugt von#32\nHelpDeskInfo=Fragen an#32\nFTPFileName=Datei\n"
        "FTPSize=Gr\xF6\xDF" "e\nFTPDate=Datum\n");
  for (const char* old : {"Made by", "Ask us", "Name", "Size", "<#"}) {
    EXPECT_EQ(state_.page_template.find(old), std::string::npos) << old;
    EXPECT_EQ(state_.ftp_table_template.find(old), std::string::npos) << old;
  }
  EXPECT_NE(state_.page_template.find("Erzeugt von "), std::string::npos);
  EXPECT_NE(state_.ftp_table_template.find("Gr\xF6\xDF" "e"), std::string::npos);
}

TEST_F(ApplyLanguageTest, PercentSignsOfTranslationsStayLiteralInTemplates) {
  Apply("[Messages]\nReportGenerated=100% %S %d#32\nFTPDate=Date %S\n");
  const std::string page = FormatText(state_.page_template, {"title", "heading", "text"});
  EXPECT_NE(page.find("100% %S %d <a href="), std::string::npos);
  EXPECT_NE(page.find("<title>title</title>"), std::string::npos);
  EXPECT_NE(page.find(">text</span>"), std::string::npos);
  const std::string table = FormatText(state_.ftp_table_template, {"ROWS"});
  EXPECT_NE(table.find("Date %S"), std::string::npos);
  EXPECT_NE(table.find("ROWS</table>"), std::string::npos);
}

TEST(ProductVersionText, FormatsMajorMinorReleaseAndBuild) {
  EXPECT_EQ(FormatVersionText({1, 0, 0, 509}), "1.0 (Build 0.509)");
  const ProductVersion v = CurrentProductVersion();
  EXPECT_EQ(VersionText(), FormatVersionText(v));
  EXPECT_GE(v.major, 1);
}

// Workers look texts up while the main thread switches languages: each read
// must be one language's text whole. Run under ThreadSanitizer as well.
TEST(ApplyLanguageConcurrency, LookupsSeeWholeTextsWhileLanguagesSwitch) {
  TextTable texts;
  LanguageState state = InitialLanguageState(texts);
  std::string english = "[Messages]\n";
  TextTable::ForEachKey([&](TextKey key) { english += std::string(KeyName(key)) + "=English " + std::string(KeyName(key)) + "\n"; });
  std::string czech = "[Messages]\n";
  TextTable::ForEachKey([&](TextKey key) { czech += std::string(KeyName(key)) + "=Czech " + std::string(KeyName(key)) + "\n"; });
  const IniDocument files[2] = {IniDocument::Parse(english), IniDocument::Parse(czech)};

  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        TextTable::ForEachKey([&](TextKey key) {
          const std::string_view text = texts.Text(key);
          const std::string name(KeyName(key));
          if (text != CzechDefault(key) && text != "English " + name && text != "Czech " + name) ++bad;
        });
      }
    });
  }
  for (int round = 0; round < 200; ++round) ApplyLanguage(files[round % 2], {}, texts, state);
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(texts.Text(TextKey::UpdateOK), "Czech UpdateOK");
}

}  // namespace
}  // namespace korvan
