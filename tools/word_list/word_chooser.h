// The final selection of the word list among the candidates, valued under
// substitution as the tunnel applies it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/word_list/candidate_finder.h"
#include "tools/word_list/word_list_corpus.h"
#include "tools/word_list/word_list_progress.h"

namespace korvan::word_list {

// Chooses at most `count` words among `candidates` (in Better order, found
// on `corpus` with suffix array `sa`) and returns their texts in the order
// substitution should try them: longer words first, then in order of choice.
//
// Lazy greedy choice of 1.25 x count words, each for its gain given the words
// chosen before it (occurrences that a chosen word at least as long covers
// no longer count); then, under exact substitution in the final order, the
// weakest words are dropped until `count` remain, each worth kMinTotalGain.
std::vector<std::string> ChooseWords(const Corpus& corpus, const std::vector<std::int32_t>& sa,
                                     const std::vector<Candidate>& candidates, std::size_t count,
                                     const ProgressMeter& progress);

}  // namespace korvan::word_list
