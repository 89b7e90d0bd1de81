#include "server/html_optimiser.h"

#include <array>
#include <cctype>

namespace korvan::server {

namespace {

constexpr auto npos = std::string_view::npos;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
bool IsAlpha(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }
char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool StartsWithAt(std::string_view text, std::size_t at, std::string_view prefix, bool any_case = false) {
  if (text.size() - at < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    const char a = text[at + i];
    if (any_case ? Lower(a) != Lower(prefix[i]) : a != prefix[i]) return false;
  }
  return true;
}

// Position just after the '>' that ends the tag opened at `at`, or npos.
// Quotes count only where an attribute value begins (after '='), as a
// browser reads them; a stray quote elsewhere is an ordinary character.
std::size_t TagEnd(std::string_view html, std::size_t at) {
  bool after_equals = false;
  for (std::size_t i = at + 1; i < html.size(); ++i) {
    const char c = html[i];
    if (c == '>') return i + 1;
    if (c == '=') {
      after_equals = true;
      continue;
    }
    if (IsSpace(c)) continue;
    if (after_equals && (c == '"' || c == '\'')) {
      const std::size_t close = html.find(c, i + 1);
      if (close == npos) return npos;
      i = close;
    }
    after_equals = false;
  }
  return npos;
}

// Elements whose content is kept byte for byte.
constexpr std::array<std::string_view, 6> kVerbatim = {"script", "style", "pre", "textarea", "xmp", "listing"};

std::string TagName(std::string_view html, std::size_t at) {
  std::string name;
  for (std::size_t i = at + 1; i < html.size() && (IsAlpha(html[i]) || std::isdigit(static_cast<unsigned char>(html[i])));
       ++i) {
    name += Lower(html[i]);
  }
  return name;
}

// Where the end tag of `name` begins at or after `from`, or npos.
std::size_t FindEndTag(std::string_view html, std::size_t from, std::string_view name) {
  for (std::size_t i = html.find("</", from); i != npos; i = html.find("</", i + 2)) {
    if (!StartsWithAt(html, i + 2, name, true)) continue;
    const std::size_t after = i + 2 + name.size();
    if (after == html.size() || IsSpace(html[after]) || html[after] == '>' || html[after] == '/') return i;
  }
  return npos;
}

}  // namespace

bool LooksLikeByteHtml(std::string_view html) {
  if (StartsWithAt(html, 0, "\xFF\xFE") || StartsWithAt(html, 0, "\xFE\xFF")) return false;
  return html.find('\0') == npos;
}

std::string OptimiseHtml(std::string_view html) {
  std::string out;
  out.reserve(html.size());
  std::size_t i = 0;
  const auto copy_rest = [&] {
    out.append(html.substr(i));
    i = html.size();
  };
  while (i < html.size()) {
    const char c = html[i];
    if (IsSpace(c)) {
      std::size_t j = i;
      bool newline = false;
      while (j < html.size() && IsSpace(html[j])) newline |= html[j++] == '\n';
      if (j - i == 1) {
        out += c;
      } else {
        out += newline ? '\n' : ' ';
      }
      i = j;
      continue;
    }
    if (c != '<') {
      out += c;
      ++i;
      continue;
    }
    if (StartsWithAt(html, i, "<!--")) {
      // "<!-->" and "<!--->" are complete (empty) comments.
      std::size_t end = npos;
      if (StartsWithAt(html, i, "<!-->")) {
        end = i + 5;
      } else if (StartsWithAt(html, i, "<!--->")) {
        end = i + 6;
      } else if (const std::size_t close = html.find("-->", i + 4); close != npos) {
        end = close + 3;
      }
      if (end == npos) {
        copy_rest();
        break;
      }
      const std::string_view body = html.substr(i + 4, end - i - 4);
      const bool conditional = !body.empty() && (body.front() == '[' || body.starts_with("<!"));
      if (conditional) {
        out.append(html.substr(i, end - i));
        i = end;
        continue;
      }
      i = end;
      // The whitespace on both sides of a dropped comment becomes one run.
      if (!out.empty() && IsSpace(out.back())) {
        while (i < html.size() && IsSpace(html[i])) {
          if (html[i] == '\n') out.back() = '\n';
          ++i;
        }
      }
      continue;
    }
    if (StartsWithAt(html, i, "<![CDATA[")) {
      const std::size_t close = html.find("]]>", i + 9);
      if (close == npos) {
        copy_rest();
        break;
      }
      out.append(html.substr(i, close + 3 - i));
      i = close + 3;
      continue;
    }
    const bool tag = i + 1 < html.size() &&
                     (IsAlpha(html[i + 1]) || html[i + 1] == '/' || html[i + 1] == '!' || html[i + 1] == '?');
    if (!tag) {
      out += c;
      ++i;
      continue;
    }
    const std::size_t end = TagEnd(html, i);
    if (end == npos) {
      copy_rest();
      break;
    }
    out.append(html.substr(i, end - i));
    const std::string name = IsAlpha(html[i + 1]) ? TagName(html, i) : std::string();
    i = end;
    if (name == "plaintext") {
      copy_rest();
      break;
    }
    for (const std::string_view verbatim : kVerbatim) {
      if (name != verbatim) continue;
      const std::size_t close = FindEndTag(html, i, verbatim);
      if (close == npos) {
        copy_rest();
      } else {
        out.append(html.substr(i, close - i));
        i = close;
      }
      break;
    }
  }
  return out;
}

}  // namespace korvan::server
