#include "tools/word_list/source_rules.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <utility>

#include "wire/word_list.h"

namespace korvan::word_list {

void FindSources(Corpus& corpus, const std::vector<std::int32_t>& sa, const std::vector<std::uint8_t>& lcp,
                 const std::vector<std::string>& documents, const std::vector<std::int32_t>& groups) {
  std::map<std::pair<std::int32_t, std::int32_t>, std::int32_t> shared;
  for (std::size_t i = 1; i < sa.size(); ++i) {
    if (lcp[i] < WordList::kMaxWordLength) continue;
    std::int32_t a = corpus.unit_doc[corpus.unit_of[sa[i - 1]]];
    std::int32_t b = corpus.unit_doc[corpus.unit_of[sa[i]]];
    if (a == b) continue;
    if (a > b) std::swap(a, b);
    ++shared[{a, b}];
  }
  std::vector<std::int32_t> parent(documents.size());
  std::iota(parent.begin(), parent.end(), 0);
  auto root = [&](std::int32_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  };
  for (const auto& [pair, positions] : shared) {
    if (positions < kSameSourceShare) continue;
    const std::int32_t a = root(pair.first);
    const std::int32_t b = root(pair.second);
    if (a != b) parent[std::max(a, b)] = std::min(a, b);
  }
  corpus.doc_source.resize(documents.size());
  std::vector<std::int32_t> size(documents.size(), 0);
  for (std::size_t d = 0; d < documents.size(); ++d) {
    corpus.doc_source[d] = root(static_cast<std::int32_t>(d));
    ++size[corpus.doc_source[d]];
  }
  corpus.unit_weight.resize(corpus.unit_doc.size());
  for (std::size_t u = 0; u < corpus.unit_doc.size(); ++u) {
    const double deflated = corpus.cost[corpus.unit_begin[u + 1]] - corpus.cost[corpus.unit_begin[u]];
    corpus.unit_weight[u] = BlockWeight(deflated, size[corpus.doc_source[corpus.unit_doc[u]]]);
  }

  // What support counts: sources, or with groups the groups, where a dump of
  // several header blocks (many servers' responses) counts apart within its
  // group unless it is of one source with another document of the group.
  std::map<std::pair<std::int64_t, std::int32_t>, std::int32_t> keys;
  corpus.doc_key.resize(documents.size());
  for (std::size_t d = 0; d < documents.size(); ++d) {
    std::pair<std::int64_t, std::int32_t> key{corpus.doc_source[d], -1};
    if (!groups.empty()) {
      key = {groups[d], IsHeaderDump(documents[d]) ? corpus.doc_source[d] : -1};
    }
    corpus.doc_key[d] = keys.emplace(key, static_cast<std::int32_t>(keys.size())).first->second;
  }
  corpus.keys = static_cast<std::int32_t>(keys.size());
  corpus.min_support = groups.empty() ? kMinSources : kMinGroups;
  corpus.capped = !groups.empty();
}

KeyGains::KeyGains(const Corpus& corpus)
    : corpus_(corpus), sums_(corpus.capped ? corpus.keys : 0, 0.0), seen_(sums_.size(), false) {}

void KeyGains::Add(std::int32_t p, double gain) {
  total_ += gain;
  if (!corpus_.capped) return;
  const std::int32_t key = corpus_.KeyAt(p);
  if (!seen_[key]) {
    seen_[key] = true;
    touched_.push_back(key);
  }
  sums_[key] += gain;
}

double KeyGains::Take() {
  double result = total_;
  total_ = 0;
  if (!corpus_.capped) return result;
  double first = 0;
  double second = 0;
  for (const std::int32_t key : touched_) {
    const double v = sums_[key];
    if (v > first) {
      second = first;
      first = v;
    } else if (v > second) {
      second = v;
    }
  }
  const double cap = kGroupCap * second;
  result = 0;
  for (const std::int32_t key : touched_) {
    result += std::min(sums_[key], cap);
    sums_[key] = 0;
    seen_[key] = false;
  }
  touched_.clear();
  return result;
}

}  // namespace korvan::word_list
