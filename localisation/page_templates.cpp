#include "localisation/page_templates.h"

#include "localisation/ascii_text.h"
#include "localisation/product_links.h"
#include "localisation/text_format.h"

namespace korvan {
namespace {

std::string BuildPageTemplateBase() {
  std::string page =
      "<html><head><title>%S</title></head><body bgcolor=\"#FFFFFF\">\r\n"
      "<table border=\"0\" cellpadding=\"0\" cellspacing=\"0\" width=\"100%%\">\r\n"
      "  <tr><td width=\"100%%\">\r\n"
      "<H2 align=\"center\"><i><font face=\"Arial\" size=\"3\" color=\"#FF0000\">%S</font></i></H2>\r\n"
      "    <p align=\"center\"><b>\r\n"
      "    <font face=\"Arial\" size=\"2\">%S</span></font></b></p>\r\n"
      "<hr color=\"#000000\" width=\"100%%\" noshade size=\"1\">\r\n"
      "    <font face=\"Arial\" size=\"2\"><#REPORTGENERATED>";
  page += "<a href=\"";
  page += kProductWebSite;
  page += "\">KORVAN</a>";
  page += "<#VERSIONINFO><br>\r\n<#HELPDESKINFO>";
  page += "<a href=\"mailto:";
  page += kHelpDeskMailbox;
  page += "\"> ";
  page += kHelpDeskMailbox;
  page += "</a>";
  page += " </font></td>\r\n  </tr></table></body></html>";
  return page;
}

constexpr std::string_view kFtpTableTemplateBase =
    "<center><table bgcolor=\"silver\" cellspacing=\"1\" cellpadding=\"1\" padding-left=\"5\" "
    "padding-right=\"5\" style=\"font-size: 10pt\">\r\n"
    "<tr bgcolor=\"#EEEEEE\"><td width=\"200\"><B>&nbsp;<#FTPFILENAME><B></td>"
    "<td align=\"right\"><B>&nbsp;<#FTPSIZE>&nbsp;<B></td>"
    "<td width=\"120\"><B>&nbsp;<#FTPDATE><B></td></tr>\r\n"
    "%S</table></center>";

std::string Fill(std::string_view text, std::string_view name, std::string_view value) {
  return ReplaceAllNoCase(text, "<#" + std::string(name) + ">", EscapePercent(value));
}

}  // namespace

std::string_view PageTemplateBase() {
  static const std::string base = BuildPageTemplateBase();
  return base;
}

std::string_view FtpTableTemplateBase() { return kFtpTableTemplateBase; }

std::string FillPageTemplate(const TextTable& texts, std::string_view version_text) {
  std::string page = Fill(PageTemplateBase(), "ReportGenerated", texts.Text(TextKey::ReportGenerated));
  page = Fill(page, "HelpDeskInfo", texts.Text(TextKey::HelpDeskInfo));
  return Fill(page, "VERSIONINFO", version_text);
}

std::string FillFtpTableTemplate(const TextTable& texts) {
  std::string table = Fill(FtpTableTemplateBase(), "FTPFileName", texts.Text(TextKey::FTPFileName));
  table = Fill(table, "FTPSize", texts.Text(TextKey::FTPSize));
  return Fill(table, "FTPDate", texts.Text(TextKey::FTPDate));
}

}  // namespace korvan
