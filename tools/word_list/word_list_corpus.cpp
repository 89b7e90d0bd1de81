#include "tools/word_list/word_list_corpus.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>

#include "wire/frame_format.h"
#include "wire/word_list.h"

namespace korvan::word_list {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
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

}  // namespace

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

bool IsHeaderDump(std::string_view document) {
  return StartsWith(document, "HTTP/") && (document.find("\r\n\r\nHTTP/") != std::string_view::npos ||
                                           document.find("\n\nHTTP/") != std::string_view::npos);
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

}  // namespace korvan::word_list
