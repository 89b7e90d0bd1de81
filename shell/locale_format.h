// The user's number and date conventions, as code-page-1250 texts. The
// platform layer reads them from the locale once; tests pin them.
//
// Thread rule: a value, read once at start-up; copies may be used anywhere.
#pragma once

#include <string>

namespace korvan {

struct LocaleFormat {
  std::string thousands_separator = ",";
  std::string decimal_separator = ".";
  // strftime patterns of the short date and the long time.
  std::string date_pattern = "%d.%m.%Y";
  std::string time_pattern = "%H:%M:%S";
};

}  // namespace korvan
