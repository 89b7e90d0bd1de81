#include "tools/word_list/word_chooser.h"

#include <algorithm>
#include <numeric>
#include <queue>
#include <utility>

#include "tools/word_list/source_rules.h"

namespace korvan::word_list {
namespace {

// Gains under substitution. `cover_[p]` holds the length of the longest
// chosen word whose token covers position p.
class Chooser {
 public:
  Chooser(const Corpus& corpus, const std::vector<std::int32_t>& sa)
      : corpus_(corpus), sa_(sa), cover_(corpus.symbols.size(), 0), gains_(corpus) {}

  std::vector<std::int32_t> Positions(const Candidate& c) const {
    std::vector<std::int32_t> positions(sa_.begin() + c.lb, sa_.begin() + c.rb + 1);
    std::sort(positions.begin(), positions.end());
    return positions;
  }

  // The gain of a word with these occurrences, taken left to right without
  // overlap as substitution does; with `commit`, takes them. With `strict`,
  // any covered byte blocks an occurrence (substitution in list order);
  // otherwise only bytes covered by words at least as long, which the final
  // order puts first.
  double Gain(const std::vector<std::int32_t>& positions, std::int32_t length, bool commit, bool strict) {
    const std::uint8_t blocking = strict ? 1 : static_cast<std::uint8_t>(length);
    std::int32_t resume = 0;
    for (const std::int32_t p : positions) {
      if (p < resume) continue;
      bool blocked = false;
      for (std::int32_t q = p; q < p + length && !blocked; ++q) blocked = cover_[q] >= blocking;
      if (blocked) continue;
      gains_.Add(p, corpus_.Gain(p, length));
      resume = p + length;
      if (commit) {
        for (std::int32_t q = p; q < p + length; ++q) {
          cover_[q] = std::max(cover_[q], static_cast<std::uint8_t>(length));
        }
      }
    }
    return gains_.Take();
  }

  void Clear() { std::fill(cover_.begin(), cover_.end(), 0); }

 private:
  const Corpus& corpus_;
  const std::vector<std::int32_t>& sa_;
  std::vector<std::uint8_t> cover_;
  KeyGains gains_;
};

std::string WordText(const Corpus& corpus, const std::vector<std::int32_t>& sa, const Candidate& c) {
  const auto start = static_cast<std::size_t>(sa[c.lb]);
  return std::string(reinterpret_cast<const char*>(corpus.bytes.data() + start),
                     static_cast<std::size_t>(c.length));
}

}  // namespace

std::vector<std::string> ChooseWords(const Corpus& corpus, const std::vector<std::int32_t>& sa,
                                     const std::vector<Candidate>& candidates, std::size_t count,
                                     const ProgressMeter& progress) {
  // Lazy greedy: take the candidate with the best gain given the words chosen
  // so far. Stored gains are those of an earlier round; recompute the best
  // and take it when it still beats every other stored gain.
  Chooser chooser(corpus, sa);
  const std::size_t target = count + count / 4;
  struct Entry {
    double gain;
    std::size_t index;
    std::size_t round;
    bool operator<(const Entry& o) const { return gain != o.gain ? gain < o.gain : index > o.index; }
  };
  std::priority_queue<Entry> queue;
  for (std::size_t i = 0; i < candidates.size(); ++i) queue.push({candidates[i].gain, i, 0});
  std::vector<std::size_t> chosen;
  std::vector<std::vector<std::int32_t>> chosen_positions;
  while (chosen.size() < target && !queue.empty()) {
    Entry top = queue.top();
    queue.pop();
    const Candidate& c = candidates[top.index];
    std::vector<std::int32_t> positions = chooser.Positions(c);
    if (top.round != chosen.size()) {
      top.gain = chooser.Gain(positions, c.length, false, false);
      top.round = chosen.size();
      if (top.gain < kMinTotalGain) continue;
      if (!queue.empty() && top.gain < queue.top().gain) {
        queue.push(top);
        continue;
      }
    }
    chooser.Gain(positions, c.length, true, false);
    chosen.push_back(top.index);
    chosen_positions.push_back(std::move(positions));
    progress.Report("choosing", chosen.size(), target);
  }

  // Final order: longer words first (a word can hold only shorter ones), then
  // in the order chosen. Then, under exact substitution in that order, drop
  // the weakest words until `count` remain, every one worth its slot.
  std::vector<std::size_t> order(chosen.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return candidates[chosen[a]].length > candidates[chosen[b]].length;
  });
  while (true) {
    chooser.Clear();
    std::vector<std::pair<double, std::size_t>> gains;  // gain, place in `order`
    for (std::size_t k = 0; k < order.size(); ++k) {
      const Candidate& c = candidates[chosen[order[k]]];
      gains.emplace_back(chooser.Gain(chosen_positions[order[k]], c.length, true, true), k);
    }
    const std::size_t excess = order.size() > count ? order.size() - count : 0;
    std::size_t weak = 0;
    for (const auto& g : gains) weak += g.first < kMinTotalGain ? 1 : 0;
    if (excess == 0 && weak == 0) break;
    // Drop every word below the minimum, or else half of the excess.
    std::sort(gains.begin(), gains.end());
    const std::size_t drop = std::max(weak, std::max<std::size_t>(1, excess / 2));
    std::vector<bool> dropped(order.size(), false);
    for (std::size_t k = 0; k < drop && k < gains.size(); ++k) dropped[gains[k].second] = true;
    std::vector<std::size_t> kept;
    for (std::size_t k = 0; k < order.size(); ++k) {
      if (!dropped[k]) kept.push_back(order[k]);
    }
    order = std::move(kept);
    progress.Report("pruning", count, order.size());
  }

  std::vector<std::string> words;
  for (const std::size_t k : order) words.push_back(WordText(corpus, sa, candidates[chosen[k]]));
  return words;
}

}  // namespace korvan::word_list
