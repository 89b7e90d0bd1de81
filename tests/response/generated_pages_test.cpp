#include "response/generated_pages.h"

#include <gtest/gtest.h>

#include "localisation/apply_language.h"
#include "localisation/product_links.h"
#include "localisation/product_version.h"
#include "resources/flash_movie.h"

namespace korvan {
namespace {

class GeneratedPagesTest : public ::testing::Test {
 protected:
  std::string Make(GeneratedPage page, std::string_view argument = {}) {
    return MakePage(page, argument, {texts_, state_.page_template, FlashMovieResource()});
  }
  void Apply(std::string_view file) { ApplyLanguage(IniDocument::Parse(file), {}, texts_, state_); }

  TextTable texts_;
  LanguageState state_ = InitialLanguageState(texts_);
};

struct Response {
  std::string head;  // up to and including the blank line
  std::string body;
};

Response Split(const std::string& response) {
  const std::size_t end = response.find("\r\n\r\n");
  if (end == std::string::npos) return {response, {}};
  return {response.substr(0, end + 4), response.substr(end + 4)};
}

std::string HtmlHead(int status, std::size_t length) {
  return "HTTP/1.1 " + std::to_string(status) + " OK\r\nContent-Type: text/html; charset=windows-1250\r\n" +
         "Content-Length: " + std::to_string(length) + "\r\nConnection: keep-alive\r\n\r\n";
}

TEST_F(GeneratedPagesTest, LoginErrorPageIsByteExact) {
  const std::string body =
      "<html><head><title>Login error</title></head><body bgcolor=\"#FFFFFF\">\r\n"
      "<table border=\"0\" cellpadding=\"0\" cellspacing=\"0\" width=\"100%\">\r\n"
      "  <tr><td width=\"100%\">\r\n"
      "<H2 align=\"center\"><i><font face=\"Arial\" size=\"3\" color=\"#FF0000\">"
      "Chyba p\xF8i p\xF8ihl\xE1\x9A" "en\xED do syst\xE9mu</font></i></H2>\r\n"
      "    <p align=\"center\"><b>\r\n"
      "    <font face=\"Arial\" size=\"2\">Chybn\xE9 heslo, nebo ID u\x9Eivatele.<br></span></font></b></p>\r\n"
      "<hr color=\"#000000\" width=\"100%\" noshade size=\"1\">\r\n"
      "    <font face=\"Arial\" size=\"2\">Str\xE1nka byla vygenerov\xE1na aplikac\xED "
      "<a href=\"http://www.korvan.example/\">KORVAN</a>" + VersionText() + "<br>\r\n"
      "V p\xF8\xEDpad\xEC dotaz\xF9 n\xE1s kontaktujte na "
      "<a href=\"mailto:helpdesk@korvan.example\"> helpdesk@korvan.example</a>"
      " </font></td>\r\n  </tr></table></body></html>";
  EXPECT_EQ(Make(GeneratedPage::kLoginError), HtmlHead(404, body.size()) + body);
}

TEST_F(GeneratedPagesTest, EveryPageHasItsStatusAndTheBodyLengthAsContentLength) {
  const struct {
    GeneratedPage page;
    int status;
    TextKey title;
  } pages[] = {{GeneratedPage::kGatewayError, 504, TextKey::GatewayErrTitle},
               {GeneratedPage::kLoginError, 404, TextKey::LoginErrTitle},
               {GeneratedPage::kNoCredit, 404, TextKey::NoCreditTitle},
               {GeneratedPage::kFtpListing, 200, TextKey::FTPListDirectoryTitle}};
  for (const auto& p : pages) {
    const Response r = Split(Make(p.page, "arg"));
    EXPECT_EQ(r.head, HtmlHead(p.status, r.body.size()));
    EXPECT_NE(r.body.find("<title>" + std::string(texts_.Text(p.title)) + "</title>"), std::string::npos);
  }
  const std::string no_credit = Split(Make(GeneratedPage::kNoCredit)).body;
  EXPECT_NE(no_credit.find(">V\xE1\x9A kredit byl vy\xE8" "erp\xE1n.</font></i></H2>"), std::string::npos);
  EXPECT_NE(no_credit.find(std::string(texts_.Text(TextKey::NoCreditText)) + "</span>"), std::string::npos);
}

TEST_F(GeneratedPagesTest, GatewayPageNamesTheEscapedHost) {
  const std::string page = Make(GeneratedPage::kGatewayError, "www.example.cz");
  EXPECT_EQ(page.substr(0, 17), "HTTP/1.1 504 OK\r\n");
  EXPECT_NE(page.find("color=\"#FF0000\">Nepoda\xF8ilo se nav\xE1zat spojen\xED se serverem: www.example.cz</font>"),
            std::string::npos);
  EXPECT_NE(page.find(std::string(texts_.Text(TextKey::GatewayErrText)) + "</span>"), std::string::npos);

  const std::string hostile = Make(GeneratedPage::kGatewayError, "<script>x</script>&\"%S%d%%");
  EXPECT_EQ(hostile.find("<script>"), std::string::npos);
  EXPECT_NE(hostile.find("serverem: &lt;script&gt;x&lt;/script&gt;&amp;&quot;%S%d%%</font>"), std::string::npos);
}

TEST_F(GeneratedPagesTest, FtpListingHasAnEmptyHeadingAndTheTableAsText) {
  const std::string table = MakeFtpTable(state_.ftp_table_template, "  <tr><td>100% %S</td></tr>\r\n");
  EXPECT_EQ(table,
            "<center><table bgcolor=\"silver\" cellspacing=\"1\" cellpadding=\"1\" padding-left=\"5\" "
            "padding-right=\"5\" style=\"font-size: 10pt\">\r\n"
            "<tr bgcolor=\"#EEEEEE\"><td width=\"200\"><B>&nbsp;N\xE1zev<B></td><td align=\"right\"><B>&nbsp;"
            "Velikost (kB)&nbsp;<B></td><td width=\"120\"><B>&nbsp;Datum<B></td></tr>\r\n"
            "  <tr><td>100% %S</td></tr>\r\n</table></center>");
  const Response r = Split(Make(GeneratedPage::kFtpListing, table));
  EXPECT_EQ(r.head, HtmlHead(200, r.body.size()));
  EXPECT_NE(r.body.find("color=\"#FF0000\"></font></i></H2>"), std::string::npos);
  EXPECT_NE(r.body.find("<font face=\"Arial\" size=\"2\">" + table + "</span>"), std::string::npos);
}

TEST_F(GeneratedPagesTest, TranslationsWithPercentSignsComeOutAsWritten) {
  Apply("[Messages]\nGatewayErr=50% of %S failed (%d)\nReportGenerated=100% by#32\nGatewayErrTitle=%S\n");
  const Response r = Split(Make(GeneratedPage::kGatewayError, "host"));
  EXPECT_NE(r.body.find("<title>%S</title>"), std::string::npos);
  EXPECT_NE(r.body.find(">50% of host failed ()</font>"), std::string::npos);
  EXPECT_NE(r.body.find("100% by <a href="), std::string::npos);
  EXPECT_EQ(r.head, HtmlHead(504, r.body.size()));
}

TEST_F(GeneratedPagesTest, SwitchingLanguagesLeavesNoTextOfTheEarlierOne) {
  Apply("[Messages]\nLoginErr=Login failed\nReportGenerated=Generated by#32\nHelpDeskInfo=Write to#32\n");
  EXPECT_NE(Make(GeneratedPage::kLoginError).find("Generated by <a"), std::string::npos);
  Apply("[Messages]\nLoginErr=Anmeldung fehlgeschlagen\nReportGenerated=Erzeugt von#32\nHelpDeskInfo=Fragen an#32\n");
  const std::string page = Make(GeneratedPage::kLoginError);
  for (const char* old : {"Login failed", "Generated by", "Write to"}) EXPECT_EQ(page.find(old), std::string::npos) << old;
  EXPECT_NE(page.find("Erzeugt von <a"), std::string::npos);
  EXPECT_NE(page.find("Fragen an <a href=\"mailto:"), std::string::npos);
}

TEST_F(GeneratedPagesTest, FlashReplyCarriesTheMovie) {
  const auto movie = FlashMovieResource();
  const std::string response = Make(GeneratedPage::kFlash);
  const std::string head =
      "HTTP/1.1 200 OK\r\nAccept-Ranges: bytes\r\nContent-Length: 1416\r\nConnection: keep-alive\r\n"
      "Content-Type: application/x-shockwave-flash\r\n\r\n";
  EXPECT_EQ(response, head + std::string(movie.begin(), movie.end()));

  const std::string empty = MakePage(GeneratedPage::kFlash, {}, {texts_, state_.page_template, {}});
  EXPECT_NE(empty.find("Content-Length: 0\r\n"), std::string::npos);
  EXPECT_EQ(Split(empty).body, "");
}

}  // namespace
}  // namespace korvan
