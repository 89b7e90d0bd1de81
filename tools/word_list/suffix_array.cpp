#include "tools/word_list/suffix_array.h"

#include <algorithm>

namespace korvan::word_list {

std::vector<std::int32_t> SuffixArray(const std::vector<std::int32_t>& s, std::int32_t upper) {
  const std::int32_t n = static_cast<std::int32_t>(s.size());
  if (n == 0) return {};
  if (n == 1) return {0};
  if (n == 2) return s[0] < s[1] ? std::vector<std::int32_t>{0, 1} : std::vector<std::int32_t>{1, 0};

  std::vector<std::int32_t> sa(static_cast<std::size_t>(n));
  std::vector<bool> is_s(static_cast<std::size_t>(n));  // S-type suffix
  for (std::int32_t i = n - 2; i >= 0; --i) {
    is_s[i] = s[i] == s[i + 1] ? is_s[i + 1] : s[i] < s[i + 1];
  }
  // Bucket starts: sum_l[c] for the L-type part of bucket c, sum_s[c] for its
  // S-type part.
  std::vector<std::int32_t> sum_l(static_cast<std::size_t>(upper) + 2);
  std::vector<std::int32_t> sum_s(static_cast<std::size_t>(upper) + 2);
  for (std::int32_t i = 0; i < n; ++i) {
    if (!is_s[i]) {
      ++sum_s[s[i]];
    } else {
      ++sum_l[s[i] + 1];
    }
  }
  for (std::int32_t c = 0; c <= upper; ++c) {
    sum_s[c] += sum_l[c];
    if (c < upper) sum_l[c + 1] += sum_s[c];
  }

  std::vector<std::int32_t> buffer(static_cast<std::size_t>(upper) + 2);
  auto induce = [&](const std::vector<std::int32_t>& lms) {
    std::fill(sa.begin(), sa.end(), -1);
    std::copy(sum_s.begin(), sum_s.end(), buffer.begin());
    for (const std::int32_t d : lms) {
      if (d != n) sa[buffer[s[d]]++] = d;
    }
    std::copy(sum_l.begin(), sum_l.end(), buffer.begin());
    sa[buffer[s[n - 1]]++] = n - 1;
    for (std::int32_t i = 0; i < n; ++i) {
      const std::int32_t v = sa[i];
      if (v >= 1 && !is_s[v - 1]) sa[buffer[s[v - 1]]++] = v - 1;
    }
    std::copy(sum_l.begin(), sum_l.end(), buffer.begin());
    for (std::int32_t i = n - 1; i >= 0; --i) {
      const std::int32_t v = sa[i];
      if (v >= 1 && is_s[v - 1]) sa[--buffer[s[v - 1] + 1]] = v - 1;
    }
  };

  std::vector<std::int32_t> lms_index(static_cast<std::size_t>(n) + 1, -1);
  std::vector<std::int32_t> lms;
  for (std::int32_t i = 1; i < n; ++i) {
    if (!is_s[i - 1] && is_s[i]) {
      lms_index[i] = static_cast<std::int32_t>(lms.size());
      lms.push_back(i);
    }
  }
  const std::int32_t m = static_cast<std::int32_t>(lms.size());
  induce(lms);
  if (m == 0) return sa;

  std::vector<std::int32_t> sorted_lms;
  sorted_lms.reserve(static_cast<std::size_t>(m));
  for (const std::int32_t v : sa) {
    if (lms_index[v] != -1) sorted_lms.push_back(v);
  }
  // Name the LMS substrings in sorted order; equal substrings share a name.
  std::vector<std::int32_t> reduced(static_cast<std::size_t>(m));
  std::int32_t names = 0;
  reduced[lms_index[sorted_lms[0]]] = 0;
  for (std::int32_t i = 1; i < m; ++i) {
    std::int32_t l = sorted_lms[i - 1];
    std::int32_t r = sorted_lms[i];
    const std::int32_t end_l = lms_index[l] + 1 < m ? lms[lms_index[l] + 1] : n;
    const std::int32_t end_r = lms_index[r] + 1 < m ? lms[lms_index[r] + 1] : n;
    bool same = true;
    if (end_l - l != end_r - r) {
      same = false;
    } else {
      while (l < end_l && s[l] == s[r]) {
        ++l;
        ++r;
      }
      if (l == n || s[l] != s[r]) same = false;
    }
    if (!same) ++names;
    reduced[lms_index[sorted_lms[i]]] = names;
  }
  lms_index = {};
  const std::vector<std::int32_t> reduced_sa = SuffixArray(reduced, names);
  for (std::int32_t i = 0; i < m; ++i) sorted_lms[i] = lms[reduced_sa[i]];
  induce(sorted_lms);
  return sa;
}

std::vector<std::uint8_t> CommonPrefixes(const std::vector<std::int32_t>& s,
                                         const std::vector<std::int32_t>& sa, std::size_t cap) {
  const std::size_t n = s.size();
  std::vector<std::int32_t> rank(n);
  for (std::size_t i = 0; i < n; ++i) rank[sa[i]] = static_cast<std::int32_t>(i);
  std::vector<std::uint8_t> lcp(n, 0);
  std::size_t h = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (rank[i] == 0) {
      h = 0;
      continue;
    }
    const std::size_t j = static_cast<std::size_t>(sa[rank[i] - 1]);
    while (i + h < n && j + h < n && s[i + h] == s[j + h]) ++h;
    lcp[rank[i]] = static_cast<std::uint8_t>(std::min(h, cap));
    if (h > 0) --h;
  }
  return lcp;
}

}  // namespace korvan::word_list
