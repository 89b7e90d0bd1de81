#include "localisation/text_format.h"

#include "localisation/ascii_text.h"

namespace korvan {

void TextArg::AppendTo(std::string& out) const {
  if (const auto* text = std::get_if<std::string_view>(&value_)) {
    out.append(*text);
  } else {
    out.append(std::to_string(std::get<std::int64_t>(value_)));
  }
}

std::string FormatText(std::string_view pattern, std::initializer_list<TextArg> args) {
  std::string out;
  out.reserve(pattern.size());
  const TextArg* next = args.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    const char following = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
    if (c != '%') {
      out.push_back(c);
    } else if (following == '%') {
      out.push_back('%');
      ++i;
    } else if (following == 'S' || following == 's' || following == 'd') {
      if (next != args.end()) (next++)->AppendTo(out);
      ++i;
    } else {
      out.push_back('%');
    }
  }
  return out;
}

std::string EscapePercent(std::string_view text) { return ReplaceAll(text, "%", "%%"); }

}  // namespace korvan
