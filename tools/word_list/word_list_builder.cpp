#include "tools/word_list/word_list_builder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <numeric>
#include <queue>
#include <stdexcept>
#include <utility>

#include "wire/frame_format.h"

namespace korvan {
namespace {

// Passes progress on, at most about once per 5 % of each stage.
class ProgressMeter {
 public:
  explicit ProgressMeter(const WordListBuildProgress& progress) : progress_(progress) {}
  void Report(std::string_view stage, std::size_t done, std::size_t total) const {
    if (!progress_) return;
    const std::size_t step = total == 0 ? 0 : std::min<std::size_t>(20, total) * done / total;
    if (stage == stage_ && step == step_) return;
    stage_ = stage;
    step_ = step;
    progress_(stage, done, total);
  }

 private:
  const WordListBuildProgress& progress_;
  mutable std::string stage_;
  mutable std::size_t step_ = 0;
};

// ---------------------------------------------------------------------------
// Suffix array by induced sorting (SA-IS), over symbols 0..upper.
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

// lcp[i] = length of the common prefix of suffixes sa[i - 1] and sa[i]
// (Kasai et al.), capped at `cap`; lcp[0] = 0.
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


// ---------------------------------------------------------------------------
// The gain model. A word replaces its text by a two-byte token before deflate
// runs. What that saves is what deflate would have spent on the text, less
// what the token costs. The first is estimated from a deflate-like parse of
// each block (below), the second is about kTokenCost bytes: two literals,
// and the matches the token cuts short around it (fitted on held-out data).
// Occurrences where deflate spends less than a token (short words inside long
// matches) lose bytes, and count so.
constexpr double kTokenCost = 2.2;
// Blocks weigh by (kReferenceSize / their deflated size) ^ kSizeExponent:
// small blocks, where a token saves a larger share, count for more than
// their bytes alone, so that the list serves short responses and header
// blocks as well as long pages.
constexpr double kReferenceSize = 1000.0;
constexpr double kSizeExponent = 0.35;
// A word must occur in at least this many sources; with groups, in at least
// this many groups.
constexpr std::int32_t kMinSources = 2;
constexpr std::int32_t kMinGroups = 3;
// With groups, each group's part of a word's gain counts up to this multiple
// of the runner-up group's part.
constexpr double kGroupCap = 2.0;
// Words with a smaller total gain than this (in weighted bytes) are not worth
// a slot.
constexpr double kMinTotalGain = 6.0;
// Candidates kept after the repeat scan.
constexpr std::size_t kCandidatePool = 60000;
// Two documents that share at least this many positions of 255-byte repeats
// count as one source (pages of one site, copies of one library).
constexpr std::int32_t kSameSourceShare = 2048;

// ---------------------------------------------------------------------------
// The corpus as one sequence of symbols: every unit (a block as the tunnel
// would send it) is followed by a separator. Bytes map to 1..256; the bytes 0
// and 124, which no word may hold, and the separators each become a symbol of
// their own that occurs once, so no repeat runs across them.
struct Corpus {
  std::vector<std::int32_t> symbols;
  std::vector<std::uint8_t> bytes;       // byte at each position (0 at separators)
  std::vector<std::int32_t> unit_of;     // unit at each position
  std::vector<std::int32_t> unit_begin;  // first position of each unit, then the end
  std::vector<std::int32_t> unit_doc;    // document of each unit
  std::vector<double> cost;              // deflate cost before each position, summed
  std::vector<double> unit_weight;       // 1 / documents of the unit's source
  std::vector<std::int32_t> doc_source;  // source of each document
  std::vector<std::int32_t> doc_key;     // what support counts per document: source or group
  std::int32_t keys = 0;                 // distinct values of doc_key
  std::int32_t min_support = kMinSources;
  bool capped = false;                   // each key's gain is capped (groups given)
  std::int32_t upper = 0;
};

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

// Cuts a document into the blocks the tunnel would send.
std::vector<std::string_view> Units(std::string_view document) {
  std::vector<std::string_view> parts;
  if (StartsWith(document, "HTTP/")) {
    // A dump of header blocks: one unit per block.
    std::size_t start = 0;
    for (std::size_t i = 0; i < document.size(); ++i) {
      std::size_t end = 0;
      if (document.compare(i, 4, "\r\n\r\n") == 0) {
        end = i + 4;
      } else if (document.compare(i, 2, "\n\n") == 0) {
        end = i + 2;
      }
      if (end != 0 && document.compare(end, 5, "HTTP/") == 0) {
        parts.push_back(document.substr(start, end - start));
        start = end;
        i = end - 1;
      }
    }
    parts.push_back(document.substr(start));
  } else {
    parts.push_back(document);
  }
  std::vector<std::string_view> units;
  for (const std::string_view part : parts) {
    for (std::size_t at = 0; at < part.size(); at += kMaxRawBlock) {
      units.push_back(part.substr(at, std::min(kMaxRawBlock, part.size() - at)));
    }
  }
  return units;
}

// True for a dump of several header blocks (recorded from many servers),
// not one response.
bool IsHeaderDump(std::string_view document) {
  return StartsWith(document, "HTTP/") && (document.find("\r\n\r\nHTTP/") != std::string_view::npos ||
                                           document.find("\n\nHTTP/") != std::string_view::npos);
}

// True when all 256 byte values occur: no escape byte is left, so the block
// would get no substitution (beyond a leading header, which we leave aside).
bool HasEveryByte(std::string_view unit) {
  std::array<bool, 256> seen{};
  std::size_t distinct = 0;
  for (const char c : unit) {
    const auto b = static_cast<std::uint8_t>(c);
    if (!seen[b]) {
      seen[b] = true;
      if (++distinct == 256) return true;
    }
  }
  return false;
}

int LengthExtraBits(std::size_t length) {
  if (length <= 10 || length == 258) return 0;
  int bits = 1;
  for (std::size_t top = 18; length > top && bits < 5; top = top * 2 - 2) ++bits;
  return bits;
}

int DistanceExtraBits(std::size_t distance) {
  if (distance <= 4) return 0;
  return std::bit_width(distance - 1) - 2;
}

// What deflate spends on each byte of one block, in bytes, from a greedy
// LZ77 parse like zlib's (32 KiB window, matches of 3 to 258 bytes) and code
// lengths from the block's own symbol counts. A literal costs its code; the
// cost of a match is spread over the bytes it covers.
void DeflateCosts(const std::uint8_t* data, std::size_t n, double* cost) {
  constexpr std::size_t kWindow = 32768;
  constexpr std::size_t kMaxMatch = 258;
  constexpr std::size_t kMinMatch = 3;
  constexpr int kChain = 48;
  constexpr std::size_t kHashSize = 1 << 15;
  struct Match {
    std::uint32_t pos;
    std::uint32_t length;
    std::uint32_t distance;
  };
  std::vector<std::int32_t> head(kHashSize, -1);
  std::vector<std::int32_t> prev(n, -1);
  std::array<std::uint32_t, 256> literals{};
  std::vector<Match> matches;
  std::vector<bool> is_literal(n, false);
  auto hash = [&](std::size_t i) {
    return ((static_cast<std::size_t>(data[i]) << 10) ^ (static_cast<std::size_t>(data[i + 1]) << 5) ^ data[i + 2]) &
           (kHashSize - 1);
  };
  auto insert = [&](std::size_t i) {
    if (i + kMinMatch > n) return;
    const std::size_t h = hash(i);
    prev[i] = head[h];
    head[h] = static_cast<std::int32_t>(i);
  };
  std::size_t i = 0;
  while (i < n) {
    std::size_t best = 0;
    std::size_t best_distance = 0;
    if (i + kMinMatch <= n) {
      const std::size_t limit = std::min(kMaxMatch, n - i);
      std::int32_t candidate = head[hash(i)];
      for (int chain = kChain; candidate >= 0 && chain > 0; --chain) {
        const auto c = static_cast<std::size_t>(candidate);
        if (i - c > kWindow) break;
        if (data[c + best] == data[i + best]) {
          std::size_t length = 0;
          while (length < limit && data[c + length] == data[i + length]) ++length;
          if (length > best) {
            best = length;
            best_distance = i - c;
            if (length == limit) break;
          }
        }
        candidate = prev[c];
      }
    }
    if (best >= kMinMatch) {
      matches.push_back({static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(best),
                         static_cast<std::uint32_t>(best_distance)});
      for (std::size_t k = i; k < i + best; ++k) insert(k);
      i += best;
    } else {
      insert(i);
      ++literals[data[i]];
      is_literal[i] = true;
      ++i;
    }
  }
  double symbols = static_cast<double>(matches.size());
  for (const std::uint32_t count : literals) symbols += count;
  auto code_bits = [&](double count) { return std::clamp(std::log2(symbols / count), 1.0, 15.0); };
  const double match_symbol = matches.empty() ? 0 : code_bits(static_cast<double>(matches.size()));
  for (std::size_t k = 0; k < n; ++k) {
    if (is_literal[k]) cost[k] = code_bits(literals[data[k]]) / 8;
  }
  for (const Match& m : matches) {
    // Length symbols spread over about 4 bits more than the share of all
    // matches; distance codes take about 4 bits plus their extra bits.
    const double bits = match_symbol + 4 + LengthExtraBits(m.length) + 4 + DistanceExtraBits(m.distance);
    for (std::size_t k = m.pos; k < m.pos + m.length; ++k) cost[k] = bits / 8 / m.length;
  }
}

Corpus MakeCorpus(const std::vector<std::string>& documents) {
  Corpus corpus;
  std::size_t total = 0;
  for (const std::string& d : documents) total += d.size() + d.size() / kMaxRawBlock + 64;
  if (total >= static_cast<std::size_t>(INT32_MAX) / 2) {
    throw std::invalid_argument("word list corpus is larger than 1 GB");
  }
  corpus.symbols.reserve(total);
  corpus.bytes.reserve(total);
  corpus.unit_of.reserve(total);
  std::int32_t next_unique = 257;
  for (std::size_t d = 0; d < documents.size(); ++d) {
    for (const std::string_view unit : Units(documents[d])) {
      if (unit.size() < WordList::kMinWordLength || HasEveryByte(unit)) continue;
      const auto id = static_cast<std::int32_t>(corpus.unit_doc.size());
      corpus.unit_doc.push_back(static_cast<std::int32_t>(d));
      corpus.unit_begin.push_back(static_cast<std::int32_t>(corpus.symbols.size()));
      for (const char c : unit) {
        const auto b = static_cast<std::uint8_t>(c);
        const bool unique = b == 0 || b == kDefaultEscape;
        corpus.symbols.push_back(unique ? next_unique++ : static_cast<std::int32_t>(b) + 1);
        corpus.bytes.push_back(b);
        corpus.unit_of.push_back(id);
      }
      corpus.symbols.push_back(next_unique++);
      corpus.bytes.push_back(0);
      corpus.unit_of.push_back(id);
    }
  }
  corpus.unit_begin.push_back(static_cast<std::int32_t>(corpus.symbols.size()));
  corpus.upper = next_unique - 1;

  const std::size_t n = corpus.symbols.size();
  std::vector<double> per_byte(n, 0.0);
  for (std::size_t u = 0; u + 1 < corpus.unit_begin.size(); ++u) {
    const auto begin = static_cast<std::size_t>(corpus.unit_begin[u]);
    const auto end = static_cast<std::size_t>(corpus.unit_begin[u + 1]) - 1;  // separator
    DeflateCosts(corpus.bytes.data() + begin, end - begin, per_byte.data() + begin);
  }
  corpus.cost.assign(n + 1, 0.0);
  for (std::size_t k = 0; k < n; ++k) corpus.cost[k + 1] = corpus.cost[k] + per_byte[k];
  return corpus;
}

// Groups documents into sources: documents that share long runs of text
// (pages of one site's template, copies of one library) are one source, so
// that a site's boilerplate counts once and not once per page.
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
    const double deflated = std::max(1.0, corpus.cost[corpus.unit_begin[u + 1]] - corpus.cost[corpus.unit_begin[u]]);
    corpus.unit_weight[u] = std::pow(kReferenceSize / deflated, kSizeExponent) / size[corpus.doc_source[corpus.unit_doc[u]]];
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

// What one occurrence of a word of `length` bytes at `p` saves.
double OccurrenceGain(const Corpus& corpus, std::int32_t p, std::int32_t length) {
  return corpus.unit_weight[corpus.unit_of[p]] * (corpus.cost[p + length] - corpus.cost[p] - kTokenCost);
}

// Sums the gains of a word's occurrences per support key. With capping, each
// key's sum counts up to kGroupCap x the second largest sum, so a word that
// pays in one group only is worth little however often that group repeats it.
class KeyGains {
 public:
  explicit KeyGains(const Corpus& corpus)
      : corpus_(corpus), sums_(corpus.capped ? corpus.keys : 0, 0.0), seen_(sums_.size(), false) {}

  void Add(std::int32_t p, double gain) {
    total_ += gain;
    if (!corpus_.capped) return;
    const std::int32_t key = corpus_.doc_key[corpus_.unit_doc[corpus_.unit_of[p]]];
    if (!seen_[key]) {
      seen_[key] = true;
      touched_.push_back(key);
    }
    sums_[key] += gain;
  }

  // The (capped) sum so far; starts over.
  double Take() {
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

 private:
  const Corpus& corpus_;
  std::vector<double> sums_;
  std::vector<bool> seen_;
  std::vector<std::int32_t> touched_;
  double total_ = 0;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool IsLower(char c) { return c >= 'a' && c <= 'z'; }
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// True for text that is data rather than language or markup: mostly digits
// (dates, times, sizes, ids), or holding a hash in hex or a run of base64.
// Such text repeats only where one site repeats one value.
bool LooksLikeData(std::string_view word) {
  std::size_t digits = 0;
  for (const char c : word) digits += IsDigit(c) ? 1 : 0;
  if (2 * digits > word.size()) return true;
  // A date: a time of day ("09:36:23"), or a month and year ("Feb 2017"),
  // which only a site repeating one value repeats. Midnight dates stay:
  // "Expires: Thu, 01 Jan 1970 00:00:00 GMT" and the like are fixed values
  // that many servers send.
  const bool midnight = word.find("00:00:00") != std::string_view::npos;
  for (std::size_t i = 0; !midnight && i + 8 <= word.size(); ++i) {
    if (IsDigit(word[i]) && IsDigit(word[i + 1]) && word[i + 2] == ':' && IsDigit(word[i + 3]) &&
        IsDigit(word[i + 4]) && word[i + 5] == ':' && IsDigit(word[i + 6]) && IsDigit(word[i + 7])) {
      return true;
    }
  }
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (std::size_t i = 0; !midnight && i + 7 <= word.size(); ++i) {
    if (word[i + 3] != ' ' || !IsDigit(word[i + 4]) || !IsDigit(word[i + 5]) || !IsDigit(word[i + 6])) continue;
    for (const char* month : kMonths) {
      if (word.compare(i, 3, month) == 0) return true;
    }
  }
  // Hex: 12 or more hex digits in a row, digits and letters mixed.
  for (std::size_t i = 0; i < word.size();) {
    std::size_t j = i;
    std::size_t hex_digits = 0;
    while (j < word.size() && IsHex(word[j])) hex_digits += IsDigit(word[j++]) ? 1 : 0;
    if (j - i >= 12 && hex_digits >= 2 && hex_digits < j - i) return true;
    i = j == i ? i + 1 : j;
  }
  // Base64: 16 or more symbols in a row, with digits and a fifth or more
  // each of capitals and small letters (identifiers in camel case have fewer
  // capitals and rarely digits).
  for (std::size_t i = 0; i < word.size();) {
    std::size_t j = i;
    std::size_t upper = 0;
    std::size_t lower = 0;
    digits = 0;
    while (j < word.size() &&
           (IsDigit(word[j]) || IsUpper(word[j]) || IsLower(word[j]) || word[j] == '+' || word[j] == '/')) {
      upper += IsUpper(word[j]) ? 1 : 0;
      lower += IsLower(word[j]) ? 1 : 0;
      digits += IsDigit(word[j]) ? 1 : 0;
      ++j;
    }
    const std::size_t run = j - i;
    if (run >= 16 && 5 * upper >= run && 5 * lower >= run && digits >= 1) return true;
    i = j == i ? i + 1 : j;
  }
  return false;
}

// ---------------------------------------------------------------------------
// A candidate word: a repeat of the corpus, found as an interval [lb, rb] of
// the suffix array whose suffixes share their first `length` symbols.
struct Candidate {
  std::int32_t lb = 0;
  std::int32_t rb = 0;
  std::int32_t length = 0;
  double gain = 0;  // over all its occurrences, before any word is chosen
};

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
    for (std::int32_t k = f.lb; k <= rb; ++k) gains.Add(sa[k], OccurrenceGain(corpus, sa[k], length));
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
    const std::int32_t source = corpus.doc_key[corpus.unit_doc[corpus.unit_of[sa[i]]]];
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

// ---------------------------------------------------------------------------
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
      gains_.Add(p, OccurrenceGain(corpus_, p, length));
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
  const ProgressMeter meter(progress);
  if (count == 0 || documents.size() < 2) return WordList(version, {});

  meter.Report("reading", 0, 1);
  Corpus corpus = MakeCorpus(documents);
  if (corpus.symbols.empty()) return WordList(version, {});
  meter.Report("suffix array", 0, 1);
  const std::vector<std::int32_t> sa = SuffixArray(corpus.symbols, corpus.upper);
  const std::vector<std::uint8_t> lcp = CommonPrefixes(corpus.symbols, sa, WordList::kMaxWordLength);
  FindSources(corpus, sa, lcp, documents, groups);
  std::vector<Candidate> candidates = FindCandidates(corpus, sa, lcp, meter);

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
    meter.Report("choosing", chosen.size(), target);
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
    meter.Report("pruning", count, order.size());
  }

  std::vector<std::string> words;
  for (const std::size_t k : order) words.push_back(WordText(corpus, sa, candidates[chosen[k]]));
  meter.Report("done", 1, 1);
  return WordList(version, std::move(words));
}

}  // namespace korvan
