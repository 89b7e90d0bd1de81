// Language files as anyone may write them: parsed, applied on top of each
// other, and used to fill every generated page.
#include "fuzz/fuzz_target.h"

#include <cstdint>
#include <string_view>

#include "localisation/apply_language.h"
#include "response/generated_pages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvan;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const IniDocument file = IniDocument::Parse(bytes);

  static TextTable texts;  // one table for the run, as in the program
  LanguageState state = InitialLanguageState(texts);
  ApplyLanguage(file, {}, texts, state);

  // The templates keep exactly their three (page) and one (table) slots
  // whatever the texts hold, so the page title and a marker row come through.
  const PageSources sources{texts, state.page_template, {}};
  const std::string table = MakeFtpTable(state.ftp_table_template, "\x01row\x01");
  if (table.find("\x01row\x01") == std::string::npos) __builtin_trap();
  for (GeneratedPage page : {GeneratedPage::kGatewayError, GeneratedPage::kLoginError, GeneratedPage::kNoCredit,
                             GeneratedPage::kFtpListing, GeneratedPage::kFlash}) {
    const std::string response = MakePage(page, page == GeneratedPage::kFtpListing ? table : "host%S<", sources);
    const std::size_t blank = response.find("\r\n\r\n");
    if (blank == std::string::npos) __builtin_trap();
    const std::string length = "Content-Length: " + std::to_string(response.size() - blank - 4) + "\r\n";
    if (response.find(length) == std::string::npos || response.find(length) > blank) __builtin_trap();
  }
  return 0;
}
