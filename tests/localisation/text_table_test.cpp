#include "localisation/text_table.h"

#include <gtest/gtest.h>

namespace korvan {
namespace {

TEST(TextTable, StartsWithTheCzechDefaultsAsCodePage1250Bytes) {
  const TextTable texts;
  TextTable::ForEachKey([&](TextKey key) { EXPECT_EQ(texts.Text(key), CzechDefault(key)) << KeyName(key); });

  EXPECT_EQ(texts.Text(TextKey::InvalidUserOrPwd), "Chybn\xE9 heslo nebo ID u\x9E" "ivatele.");
  EXPECT_EQ(texts.Text(TextKey::FTPListDirectoryTitle), "V\xFDpis adres\xE1\xF8" "e");
  EXPECT_EQ(texts.Text(TextKey::UpdateInfoNotFound).substr(0, 2), "\x8E\xE1");
  // Trailing spaces belong to the text.
  EXPECT_EQ(texts.Text(TextKey::ReportGenerated), "Str\xE1nka byla vygenerov\xE1na aplikac\xED ");
  EXPECT_EQ(texts.Text(TextKey::HelpDeskInfo).back(), ' ');
  // Single CRs between the lines of this one, no LF.
  const std::string_view restart = texts.Text(TextKey::DownloadOK_Restart);
  EXPECT_EQ(restart.find('\n'), std::string::npos);
  EXPECT_NE(restart.find(",\rzm\xECny"), std::string::npos);
  EXPECT_NE(restart.find(".\r\r   P\xF8" "ejete"), std::string::npos);
  EXPECT_NE(texts.Text(TextKey::GatewayErrText).find("<BR>\r\nZkontrolujte"), std::string::npos);
}

TEST(TextTable, KeysKeepTheirOrderAndAreFoundWithoutRegardToCase) {
  EXPECT_EQ(kTextKeyCount, 56U);
  EXPECT_EQ(KeyName(static_cast<TextKey>(0)), "InvalidUserOrPwd");
  EXPECT_EQ(KeyName(static_cast<TextKey>(kTextKeyCount - 1)), "UpdateByPackageManager");
  EXPECT_EQ(FindTextKey("downloadok_restart"), TextKey::DownloadOK_Restart);
  EXPECT_EQ(FindTextKey("NoSuchKey"), std::nullopt);
}

TEST(TextTable, NamesTheDemoAccountInTheNoCreditText) {
  const std::string text(TextTable().Text(TextKey::NoCreditText));
  EXPECT_NE(text.find("100000001"), std::string::npos);
  EXPECT_NE(text.find("demo"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 4), "<br>");
}

TEST(TextTable, ReplacementLeavesTextsHeldByReadersIntact) {
  TextTable texts;
  const std::string_view held = texts.Text(TextKey::TrayEnd);
  texts.Replace(TextKey::TrayEnd, "Exit");
  EXPECT_EQ(held, "Konec");
  EXPECT_EQ(texts.Text(TextKey::TrayEnd), "Exit");
  EXPECT_EQ(texts.Text(TextKey::TrayShow), "Zobrazit");
}

}  // namespace
}  // namespace korvan
