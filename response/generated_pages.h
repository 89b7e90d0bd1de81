// Complete HTTP responses that the proxy makes up itself: error pages, the
// FTP listing page and the replacement Flash movie.
//
// Pure functions of their inputs; the caller supplies the current texts and
// the filled page template of the applied language (LanguageState).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "localisation/text_table.h"

namespace korvan {

enum class GeneratedPage {
  kGatewayError,  // 504; argument: the target host name, as received
  kLoginError,    // 404; argument unused
  kNoCredit,      // 404; argument unused
  kFtpListing,    // 200; argument: the filled FTP table (MakeFtpTable)
  kFlash,         // 200; argument unused, body: the Flash movie
};

struct PageSources {
  const TextTable& texts;
  std::string_view page_template;           // LanguageState::page_template
  std::span<const std::uint8_t> flash_movie;
};

// The response bytes: header, blank line, body. Content-Length is the byte
// length of the body.
std::string MakePage(GeneratedPage page, std::string_view argument, const PageSources& sources);

// The FTP table: `rows` in place of the table template's rows placeholder.
// `ftp_table_template` is LanguageState::ftp_table_template.
std::string MakeFtpTable(std::string_view ftp_table_template, std::string_view rows);

}  // namespace korvan
