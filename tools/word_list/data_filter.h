// Tells repeats that are data (numbers, dates, hashes, base64) from text
// worth a word: such values repeat only where one site repeats one value.
#pragma once

#include <string_view>

namespace korvan::word_list {

// True for text that is data rather than language or markup: more than half
// digits (dates, times, sizes, ids); a time of day or a month and year
// (unless the text holds "00:00:00": midnight dates such as
// "Expires: Thu, 01 Jan 1970 00:00:00 GMT" are fixed values that many
// servers send); 12 or more hex digits in a row mixing digits and letters;
// or 16 or more base64 symbols in a row with a digit and a fifth or more
// each of capitals and small letters.
bool LooksLikeData(std::string_view word);

}  // namespace korvan::word_list
