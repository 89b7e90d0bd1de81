#include "tools/word_list/data_filter.h"

#include <cstddef>

namespace korvan::word_list {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool IsLower(char c) { return c >= 'a' && c <= 'z'; }
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

bool LooksLikeData(std::string_view word) {
  std::size_t digits = 0;
  for (const char c : word) digits += IsDigit(c) ? 1 : 0;
  if (2 * digits > word.size()) return true;
  // A date: a time of day ("09:36:23"), or a month and year ("Feb 2017"),
  // which only a site repeating one value repeats. Midnight dates stay:
  // "Expires: Thu, 01 Jan 1970 00:00:00 GMT" and the like are fixed values
  // that many servers send.
  const bool midnight = word.find("00:00:00") != std::string_view::npos;
  for (std::size_t i = 0; !midnight && i + 8 <= word.size(); ++i) {
    if (IsDigit(word[i]) && IsDigit(word[i + 1]) && word[i + 2] == ':' && IsDigit(word[i + 3]) &&
        IsDigit(word[i + 4]) && word[i + 5] == ':' && IsDigit(word[i + 6]) && IsDigit(word[i + 7])) {
      return true;
    }
  }
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (std::size_t i = 0; !midnight && i + 7 <= word.size(); ++i) {
    if (word[i + 3] != ' ' || !IsDigit(word[i + 4]) || !IsDigit(word[i + 5]) || !IsDigit(word[i + 6])) continue;
    for (const char* month : kMonths) {
      if (word.compare(i, 3, month) == 0) return true;
    }
  }
  // Hex: 12 or more hex digits in a row, digits and letters mixed.
  for (std::size_t i = 0; i < word.size();) {
    std::size_t j = i;
    std::size_t hex_digits = 0;
    while (j < word.size() && IsHex(word[j])) hex_digits += IsDigit(word[j++]) ? 1 : 0;
    if (j - i >= 12 && hex_digits >= 2 && hex_digits < j - i) return true;
    i = j == i ? i + 1 : j;
  }
  // Base64: 16 or more symbols in a row, with digits and a fifth or more
  // each of capitals and small letters (identifiers in camel case have fewer
  // capitals and rarely digits).
  for (std::size_t i = 0; i < word.size();) {
    std::size_t j = i;
    std::size_t upper = 0;
    std::size_t lower = 0;
    digits = 0;
    while (j < word.size() &&
           (IsDigit(word[j]) || IsUpper(word[j]) || IsLower(word[j]) || word[j] == '+' || word[j] == '/')) {
      upper += IsUpper(word[j]) ? 1 : 0;
      lower += IsLower(word[j]) ? 1 : 0;
      digits += IsDigit(word[j]) ? 1 : 0;
      ++j;
    }
    const std::size_t run = j - i;
    if (run >= 16 && 5 * upper >= run && 5 * lower >= run && digits >= 1) return true;
    i = j == i ? i + 1 : j;
  }
  return false;
}

}  // namespace korvan::word_list
