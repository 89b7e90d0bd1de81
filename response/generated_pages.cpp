#include "response/generated_pages.h"

#include "localisation/text_format.h"
#include "common/html_escape.h"

namespace korvan {
namespace {

// Every status carries the reason phrase "OK"; browsers go by the number.
constexpr std::string_view kHtmlHeader =
    "HTTP/1.1 %d OK\r\n"
    "Content-Type: text/html; charset=windows-1250\r\n"
    "Content-Length: %d\r\n"
    "Connection: keep-alive\r\n"
    "\r\n";

constexpr std::string_view kFlashHeader =
    "HTTP/1.1 %d OK\r\n"
    "Accept-Ranges: bytes\r\n"
    "Content-Length: %d\r\n"
    "Connection: keep-alive\r\n"
    "Content-Type: application/x-shockwave-flash\r\n"
    "\r\n";

struct HtmlPage {
  int status;
  std::string_view title;
  std::string heading;
  std::string_view text;
};

HtmlPage Describe(GeneratedPage page, std::string_view argument, const TextTable& texts) {
  switch (page) {
    case GeneratedPage::kGatewayError:
      // The host name is network data; it must not become markup.
      return {504, texts.Text(TextKey::GatewayErrTitle),
              FormatText(texts.Text(TextKey::GatewayErr), {EscapeHtml(argument)}),
              texts.Text(TextKey::GatewayErrText)};
    case GeneratedPage::kLoginError:
      return {404, texts.Text(TextKey::LoginErrTitle), std::string(texts.Text(TextKey::LoginErr)),
              texts.Text(TextKey::LoginErrText)};
    case GeneratedPage::kNoCredit:
      return {404, texts.Text(TextKey::NoCreditTitle), std::string(texts.Text(TextKey::NoCredit)),
              texts.Text(TextKey::NoCreditText)};
    case GeneratedPage::kFtpListing:
    case GeneratedPage::kFlash:
      break;
  }
  return {200, texts.Text(TextKey::FTPListDirectoryTitle), std::string(), argument};
}

}  // namespace

std::string MakePage(GeneratedPage page, std::string_view argument, const PageSources& sources) {
  if (page == GeneratedPage::kFlash) {
    const auto& movie = sources.flash_movie;
    std::string response = FormatText(kFlashHeader, {200, movie.size()});
    response.append(reinterpret_cast<const char*>(movie.data()), movie.size());
    return response;
  }
  const HtmlPage parts = Describe(page, argument, sources.texts);
  const std::string html = FormatText(sources.page_template, {parts.title, parts.heading, parts.text});
  return FormatText(kHtmlHeader, {parts.status, html.size()}) + html;
}

std::string MakeFtpTable(std::string_view ftp_table_template, std::string_view rows) {
  return FormatText(ftp_table_template, {rows});
}

}  // namespace korvan
