// Fills the placeholders of a text. This is the only way texts get their
// arguments: a text may come from a language file, so it must never reach a
// printf-style format.
//
// Rules: "%S" and "%s" insert the next argument as a string, "%d" as an
// integer (a string argument is inserted as it is, a number in decimal);
// "%%" is one "%"; any other "%" is an ordinary character. A placeholder
// without an argument left inserts nothing. Inserted arguments are never
// scanned for placeholders themselves.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace korvan {

// One argument: a string or an integer. Converting implicitly, so that
// arguments are written as a plain braced list.
class TextArg {
 public:
  TextArg(std::string_view text) : value_(text) {}
  TextArg(const std::string& text) : value_(std::string_view(text)) {}
  TextArg(const char* text) : value_(std::string_view(text)) {}
  TextArg(std::int64_t number) : value_(number) {}
  TextArg(int number) : value_(static_cast<std::int64_t>(number)) {}
  TextArg(std::size_t number) : value_(static_cast<std::int64_t>(number)) {}

  void AppendTo(std::string& out) const;

 private:
  std::variant<std::string_view, std::int64_t> value_;
};

std::string FormatText(std::string_view pattern, std::initializer_list<TextArg> args);

// Doubles every "%" so that `text` comes out of FormatText unchanged; used
// when a text is pasted into a pattern before the pattern is filled.
std::string EscapePercent(std::string_view text);

}  // namespace korvan
