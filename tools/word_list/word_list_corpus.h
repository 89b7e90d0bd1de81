// The corpus of the word-list builder as one sequence of symbols, with what
// the later stages need to know about each position.
//
// Every unit (a block as the tunnel would send it) is followed by a
// separator. Bytes map to 1..256; the bytes 0 and 124, which no word may
// hold, and the separators each become a symbol of their own that occurs
// once, so no repeat runs across them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/word_list/deflate_cost_model.h"

namespace korvan::word_list {

struct Corpus {
  std::vector<std::int32_t> symbols;
  std::vector<std::uint8_t> bytes;       // byte at each position (0 at separators)
  std::vector<std::int32_t> unit_of;     // unit at each position
  std::vector<std::int32_t> unit_begin;  // first position of each unit, then the end
  std::vector<std::int32_t> unit_doc;    // document of each unit
  std::vector<double> cost;              // deflate cost before each position, summed
  std::int32_t upper = 0;                // largest symbol
  // Filled in by FindSources (source_rules.h):
  std::vector<double> unit_weight;       // BlockWeight of each unit
  std::vector<std::int32_t> doc_source;  // source of each document
  std::vector<std::int32_t> doc_key;     // what support counts per document: source or group
  std::int32_t keys = 0;                 // distinct values of doc_key
  std::int32_t min_support = 0;          // keys a word must occur in
  bool capped = false;                   // each key's gain is capped (groups given)

  // What deflate spends on the `length` bytes from `p`.
  double TextCost(std::int32_t p, std::int32_t length) const { return cost[p + length] - cost[p]; }
  // What one occurrence of a word of `length` bytes at `p` saves.
  double Gain(std::int32_t p, std::int32_t length) const {
    return OccurrenceGain(unit_weight[unit_of[p]], TextCost(p, length));
  }
  // The support key of the document that position `p` belongs to.
  std::int32_t KeyAt(std::int32_t p) const { return doc_key[unit_doc[unit_of[p]]]; }
};

// Cuts a document into the blocks the tunnel would send: a dump of header
// blocks (it starts with "HTTP/") before each further block that starts with
// "HTTP/", then everything into pieces of at most kMaxRawBlock bytes.
std::vector<std::string_view> Units(std::string_view document);

// True for a dump of several header blocks (recorded from many servers),
// not one response.
bool IsHeaderDump(std::string_view document);

// The corpus of `documents`, with the deflate cost of every position. Units
// shorter than a word, and units in which all 256 byte values occur (no
// escape byte is left for substitution), are left out. Throws
// std::invalid_argument past about 1 GB.
Corpus MakeCorpus(const std::vector<std::string>& documents);

}  // namespace korvan::word_list
