#include "platform/user_locale.h"

#include <cerrno>
#include <string>

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

namespace korvan {

std::string ToCodePage1250(std::string_view text, const char* charset) {
  iconv_t cd = ::iconv_open("CP1250", charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(text);
  std::string out;
  std::string input(text);
  char* in = input.data();
  std::size_t in_left = input.size();
  char buffer[256];
  while (in_left > 0) {
    char* outp = buffer;
    std::size_t out_left = sizeof buffer;
    const std::size_t n = ::iconv(cd, &in, &in_left, &outp, &out_left);
    out.append(buffer, sizeof buffer - out_left);
    if (n == static_cast<std::size_t>(-1) && errno != E2BIG) {
      // A character code page 1250 lacks, or a broken sequence: one "?" for
      // the character, then go on after it.
      out += '?';
      ++in;
      --in_left;
      while (in_left > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80) {
        ++in;
        --in_left;
      }
    }
  }
  ::iconv_close(cd);
  return out;
}

LocaleFormat UserLocaleFormat() {
  LocaleFormat format;
  locale_t locale = ::newlocale(LC_NUMERIC_MASK | LC_TIME_MASK | LC_CTYPE_MASK, "", nullptr);
  if (locale == nullptr) return format;
  const char* charset = ::nl_langinfo_l(CODESET, locale);
  format.thousands_separator = ToCodePage1250(::nl_langinfo_l(THOUSEP, locale), charset);
  format.decimal_separator = ToCodePage1250(::nl_langinfo_l(RADIXCHAR, locale), charset);
  if (format.decimal_separator.empty()) format.decimal_separator = ".";
  format.date_pattern = ToCodePage1250(::nl_langinfo_l(D_FMT, locale), charset);
  format.time_pattern = ToCodePage1250(::nl_langinfo_l(T_FMT, locale), charset);
  ::freelocale(locale);
  return format;
}

}  // namespace korvan
