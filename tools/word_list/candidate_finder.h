// The candidate words: repeats of the corpus that enough sources share,
// with their gain before any word is chosen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/word_list/word_list_corpus.h"
#include "tools/word_list/word_list_progress.h"

namespace korvan::word_list {

// Words with a smaller total gain than this (in weighted bytes) are not worth
// a slot.
inline constexpr double kMinTotalGain = 6.0;
// Candidates kept after the repeat scan.
inline constexpr std::size_t kCandidatePool = 60000;

// A repeat of the corpus, found as an interval [lb, rb] of the suffix array
// whose suffixes share their first `length` symbols.
struct Candidate {
  std::int32_t lb = 0;
  std::int32_t rb = 0;
  std::int32_t length = 0;
  double gain = 0;  // over all its occurrences, before any word is chosen
};

// The order of candidates: higher gain first, then by place in the suffix
// array, so that equal gains still sort the same way every time.
bool Better(const Candidate& a, const Candidate& b);

// The at most kCandidatePool best repeats of 3 to 255 bytes, in Better
// order, that occur in at least corpus.min_support support keys, cannot be
// extended to the left (then the longer repeat dominates them) unless they
// are 255-byte windows of a longer run, gain at least kMinTotalGain and do
// not look like data. The corpus needs its sources (FindSources); `lcp` is
// capped at 255.
std::vector<Candidate> FindCandidates(const Corpus& corpus, const std::vector<std::int32_t>& sa,
                                      const std::vector<std::uint8_t>& lcp, const ProgressMeter& progress);

}  // namespace korvan::word_list
