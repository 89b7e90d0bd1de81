#include "tools/word_list/word_list_builder.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "tools/word_list/candidate_finder.h"
#include "tools/word_list/source_rules.h"
#include "tools/word_list/suffix_array.h"
#include "tools/word_list/word_chooser.h"
#include "tools/word_list/word_list_corpus.h"
#include "tools/word_list/word_list_progress.h"

namespace korvan {

WordList BuildWordList(const std::vector<std::string>& documents, std::uint8_t version,
                       std::size_t count, const WordListBuildProgress& progress) {
  return BuildWordList(documents, {}, version, count, progress);
}

WordList BuildWordList(const std::vector<std::string>& documents, const std::vector<std::int32_t>& groups,
                       std::uint8_t version, std::size_t count, const WordListBuildProgress& progress) {
  if (!groups.empty() && groups.size() != documents.size()) {
    throw std::invalid_argument("word list groups do not match the documents");
  }
  count = std::min(count, WordList::kMaxWords);
  const word_list::ProgressMeter meter(progress);
  if (count == 0 || documents.size() < 2) return WordList(version, {});

  meter.Report("reading", 0, 1);
  word_list::Corpus corpus = word_list::MakeCorpus(documents);
  if (corpus.symbols.empty()) return WordList(version, {});
  meter.Report("suffix array", 0, 1);
  const std::vector<std::int32_t> sa = word_list::SuffixArray(corpus.symbols, corpus.upper);
  const std::vector<std::uint8_t> lcp = word_list::CommonPrefixes(corpus.symbols, sa, WordList::kMaxWordLength);
  word_list::FindSources(corpus, sa, lcp, documents, groups);
  const std::vector<word_list::Candidate> candidates = word_list::FindCandidates(corpus, sa, lcp, meter);
  std::vector<std::string> words = word_list::ChooseWords(corpus, sa, candidates, count, meter);
  meter.Report("done", 1, 1);
  return WordList(version, std::move(words));
}

}  // namespace korvan
