#include "tools/word_list/deflate_cost_model.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <vector>

namespace korvan::word_list {

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

double BlockWeight(double deflated, std::int32_t source_documents) {
  return std::pow(kReferenceSize / std::max(1.0, deflated), kSizeExponent) / source_documents;
}

}  // namespace korvan::word_list
