// The index in which the word-list builder finds every repeat of its corpus:
// the suffix array of a sequence of integer symbols and its common-prefix
// (LCP) array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvan::word_list {

// The start positions of all suffixes of `s`, in lexicographic order of the
// suffixes (a suffix that is a prefix of another sorts first). Every symbol
// lies in 0..upper. Induced sorting (SA-IS): linear time, about 4 bytes of
// memory per symbol besides the result.
std::vector<std::int32_t> SuffixArray(const std::vector<std::int32_t>& s, std::int32_t upper);

// lcp[i] = length of the common prefix of the suffixes sa[i - 1] and sa[i],
// capped at `cap` (at most 255, the largest value a byte holds); lcp[0] = 0.
// Linear time (Kasai et al.).
std::vector<std::uint8_t> CommonPrefixes(const std::vector<std::int32_t>& s, const std::vector<std::int32_t>& sa,
                                         std::size_t cap);

}  // namespace korvan::word_list
