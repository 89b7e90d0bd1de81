// Which documents count as one source, what a word's support is counted in
// (sources, or groups when the caller names them), and how a word's gains
// add up across them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/word_list/word_list_corpus.h"

namespace korvan::word_list {

// A word must occur in at least this many sources; with groups, in at least
// this many groups.
inline constexpr std::int32_t kMinSources = 2;
inline constexpr std::int32_t kMinGroups = 3;
// With groups, each group's part of a word's gain counts up to this multiple
// of the runner-up group's part.
inline constexpr double kGroupCap = 2.0;
// Two documents that share at least this many positions of 255-byte repeats
// count as one source (pages of one site, copies of one library).
inline constexpr std::int32_t kSameSourceShare = 2048;

// Groups documents into sources, so that a site's boilerplate counts once
// and not once per page, and fills in the corpus's unit weights, support
// keys and support rule. `sa` and `lcp` are the corpus's suffix and common-
// prefix arrays (the latter capped at 255); `groups` is empty or names the
// group of every document. Support is counted in sources, or with groups
// in groups, where a dump of several header blocks (many servers'
// responses) counts apart within its group unless it is of one source with
// another document of the group.
void FindSources(Corpus& corpus, const std::vector<std::int32_t>& sa, const std::vector<std::uint8_t>& lcp,
                 const std::vector<std::string>& documents, const std::vector<std::int32_t>& groups);

// Sums the gains of a word's occurrences per support key. With capping, each
// key's sum counts up to kGroupCap x the second largest sum, so a word that
// pays in one group only is worth little however often that group repeats it.
class KeyGains {
 public:
  explicit KeyGains(const Corpus& corpus);

  // Adds the gain of the occurrence at position `p`.
  void Add(std::int32_t p, double gain);
  // The (capped) sum so far; starts over.
  double Take();

 private:
  const Corpus& corpus_;
  std::vector<double> sums_;
  std::vector<bool> seen_;
  std::vector<std::int32_t> touched_;
  double total_ = 0;
};

}  // namespace korvan::word_list
