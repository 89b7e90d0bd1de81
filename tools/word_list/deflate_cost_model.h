// The model by which the word-list builder values a word: what deflate would
// spend on each byte of a block, and what replacing text by a token saves.
//
// A word replaces its text by a two-byte token before deflate runs. What that
// saves is what deflate would have spent on the text, less what the token
// costs. The first comes from a deflate-like parse of each block
// (DeflateCosts), the second is about kTokenCost bytes: two literals, and the
// matches the token cuts short around it (fitted on held-out data).
// Occurrences where deflate spends less than a token (short words inside
// long matches) lose bytes, and count so.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvan::word_list {

inline constexpr double kTokenCost = 2.2;

// Blocks weigh by (kReferenceSize / their deflated size) ^ kSizeExponent:
// small blocks, where a token saves a larger share, count for more than
// their bytes alone, so that the list serves short responses and header
// blocks as well as long pages.
inline constexpr double kReferenceSize = 1000.0;
inline constexpr double kSizeExponent = 0.35;

// Extra bits deflate writes after the code of a match length (3..258) and
// of a match distance (1..32768).
int LengthExtraBits(std::size_t length);
int DistanceExtraBits(std::size_t distance);

// What deflate spends on each of the `n` bytes of one block, in bytes, into
// cost[0..n): from a greedy LZ77 parse like zlib's (32 KiB window, matches
// of 3 to 258 bytes) and code lengths from the block's own symbol counts. A
// literal costs its code; the cost of a match is spread over the bytes it
// covers. Summed over a block, this comes within a few per cent of zlib's
// output.
void DeflateCosts(const std::uint8_t* data, std::size_t n, double* cost);

// The weight of one block whose bytes deflate to `deflated` (as summed from
// DeflateCosts), taken from a source of `source_documents` documents: each
// document of a source counts for its share only.
double BlockWeight(double deflated, std::int32_t source_documents);

// What replacing one occurrence of text that deflate spends `text_cost`
// bytes on saves, in a block of weight `weight`; below zero where the text
// costs less than a token.
inline double OccurrenceGain(double weight, double text_cost) { return weight * (text_cost - kTokenCost); }

}  // namespace korvan::word_list
