#include "tools/word_list/candidate_finder.h"

#include <algorithm>
#include <string_view>

#include "tools/word_list/data_filter.h"
#include "tools/word_list/source_rules.h"
#include "wire/word_list.h"

namespace korvan::word_list {

bool Better(const Candidate& a, const Candidate& b) { return a.gain != b.gain ? a.gain > b.gain : a.lb < b.lb; }

// Walks the intervals of the suffix array bottom up (Abouelhoda et al.),
// counting for each the distinct sources among its suffixes (Hui's method: a
// pair of suffixes from the same source that are neighbours in that source's
// order is charged to the deepest interval that holds both) and whether all
// its occurrences share the preceding symbol (then the repeat extends to the
// left and is dominated by that longer repeat).
std::vector<Candidate> FindCandidates(const Corpus& corpus, const std::vector<std::int32_t>& sa,
                                      const std::vector<std::uint8_t>& lcp, const ProgressMeter& progress) {
  constexpr std::int32_t kNone = -2;
  constexpr std::int32_t kMixed = -1;
  struct Frame {
    std::int32_t depth;
    std::int32_t lb;
    std::int32_t source_pairs;
    std::int32_t left;
  };
  auto merge_left = [](std::int32_t a, std::int32_t b) {
    if (a == kNone) return b;
    if (b == kNone || a == b) return a;
    return kMixed;
  };
  const auto n = static_cast<std::int32_t>(sa.size());
  auto left_of = [&](std::int32_t i) -> std::int32_t {
    const std::int32_t p = sa[i];
    if (p == 0) return kMixed;
    const std::int32_t c = corpus.symbols[p - 1];
    return c > 256 ? kMixed : c;
  };

  std::vector<Candidate> found;
  KeyGains gains(corpus);
  auto report = [&](const Frame& f, std::int32_t rb) {
    const std::int32_t length = f.depth;
    if (length < 3) return;  // a 2-byte word cannot shorten anything
    if (rb - f.lb + 1 - f.source_pairs < corpus.min_support) return;
    // A 255-byte window of a longer shared run may extend to the left.
    if (f.left != kMixed && length < static_cast<std::int32_t>(WordList::kMaxWordLength)) return;
    for (std::int32_t k = f.lb; k <= rb; ++k) gains.Add(sa[k], corpus.Gain(sa[k], length));
    const double gain = gains.Take();
    if (gain < kMinTotalGain) return;
    const auto* text = reinterpret_cast<const char*>(corpus.bytes.data() + sa[f.lb]);
    if (LooksLikeData(std::string_view(text, static_cast<std::size_t>(length)))) return;
    found.push_back({f.lb, rb, length, gain});
    if (found.size() >= 4 * kCandidatePool) {
      std::nth_element(found.begin(), found.begin() + 2 * kCandidatePool, found.end(), Better);
      found.resize(2 * kCandidatePool);
    }
  };

  std::vector<std::int32_t> last_in_source(static_cast<std::size_t>(corpus.keys), -1);
  std::vector<Frame> stack;
  stack.push_back({0, 0, 0, kNone});
  for (std::int32_t i = 0; i <= n; ++i) {
    progress.Report("repeats", static_cast<std::size_t>(i), static_cast<std::size_t>(n));
    const std::int32_t depth = (i == n || i == 0) ? 0 : lcp[i];
    if (i > 0) {
      std::int32_t lb = i - 1;
      std::int32_t pending_pairs = 0;
      std::int32_t pending_left = kNone;
      while (depth < stack.back().depth) {
        const Frame top = stack.back();
        stack.pop_back();
        report(top, i - 1);
        lb = top.lb;
        Frame& parent = stack.back();
        if (parent.depth >= depth) {
          parent.source_pairs += top.source_pairs;
          parent.left = merge_left(parent.left, top.left);
        } else {
          pending_pairs = top.source_pairs;
          pending_left = top.left;
        }
      }
      if (depth > stack.back().depth) {
        if (lb == i - 1) pending_left = left_of(i - 1);
        stack.push_back({depth, lb, pending_pairs, pending_left});
      }
    }
    if (i == n) break;
    stack.back().left = merge_left(stack.back().left, left_of(i));
    const std::int32_t source = corpus.KeyAt(sa[i]);
    if (const std::int32_t j = last_in_source[source]; j >= 0) {
      // The deepest open interval that starts at or before j holds j and i.
      auto it = std::upper_bound(stack.begin(), stack.end(), j,
                                 [](std::int32_t v, const Frame& f) { return v < f.lb; });
      ++(it - 1)->source_pairs;
    }
    last_in_source[source] = i;
  }

  if (found.size() > kCandidatePool) {
    std::nth_element(found.begin(), found.begin() + kCandidatePool, found.end(), Better);
    found.resize(kCandidatePool);
  }
  std::sort(found.begin(), found.end(), Better);
  return found;
}

}  // namespace korvan::word_list
