#include "localisation/unescape.h"

#include "localisation/ascii_text.h"

namespace korvan {

std::string Unescape(std::string_view text) {
  std::string out = ReplaceAll(text, "#13", "\r");
  out = ReplaceAll(out, "#10", "\n");
  return ReplaceAll(out, "#32", " ");
}

}  // namespace korvan
