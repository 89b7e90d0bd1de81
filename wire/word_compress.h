// The tunnel's block codec: word substitution followed by deflate.
//
// Pure computation on caller-owned buffers. The only shared state is the
// immutable word list, so any number of threads may pack and unpack at once.
// Each thread keeps one zlib stream of its own for reuse between calls.
//
// Thread rule: the functions keep no state between calls; any thread, with a
// shared word list. A DeflateStage belongs to the thread that uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "wire/frame_format.h"
#include "wire/word_list.h"

namespace korvan::WordCompress {

// Which bytes of a substitution region carry tokens. The guard of the
// substitution consults it so that a later word never overwrites or starts on
// a byte of a token written by an earlier word.
class TokenMarks {
 public:
  explicit TokenMarks(std::size_t count = 0) { Reset(count); }
  // Forgets every token and covers a region of `count` bytes; keeps capacity.
  void Reset(std::size_t count);

  // True when any byte of [pos, pos + length) belongs to a token.
  bool Overlaps(std::size_t pos, std::size_t length) const;
  // Records a token of `length` region bytes for word `index` at `pos`.
  void Place(std::size_t pos, std::size_t length, std::uint8_t index);

  bool IsTokenStart(std::size_t pos) const { return (starts_[pos >> 6] >> (pos & 63)) & 1U; }
  std::uint8_t IndexAt(std::size_t pos) const { return index_[pos]; }
  std::size_t size() const { return count_; }
  std::size_t token_count() const { return tokens_; }
  // Position of the next token start at or after `pos`, or size() when none.
  std::size_t NextTokenStart(std::size_t pos) const;

 private:
  std::size_t count_;
  std::size_t tokens_ = 0;
  std::vector<std::uint64_t> covered_;
  std::vector<std::uint64_t> starts_;
  std::vector<std::uint8_t> index_;
};

// Chooses the escape byte for `count` bytes of `region`. `escape` comes in as
// the candidate (124 at first). Keeps it when it does not occur; otherwise the
// lowest absent value of 32..127, else of 0..255. Returns false, leaving
// `escape` unchanged, when all 256 values occur.
bool PickEscapeByte(const std::uint8_t* region, std::size_t count, std::uint8_t& escape);

// Replaces, left to right and without overlap, every occurrence of `word`
// that lies wholly inside the region and touches no token of `marks`: the
// occurrence becomes escape, index, then filler escape bytes up to its length.
// A word containing the escape byte is skipped.
void SubstituteWord(std::string_view word, std::uint8_t index, std::uint8_t escape,
                    std::uint8_t* region, std::size_t count, TokenMarks& marks);

// Chooses the tokens of every word of `words` in index order, with the same
// result as calling SubstituteWord for each word in turn, but in one scan of
// the region. Records the tokens in `marks` only; `region` is not changed.
void SubstituteAllWords(const WordList& words, const std::uint8_t* region, std::size_t count,
                        TokenMarks& marks);

// Writes the tokens of `marks` (escape, index) into `region` and drops the
// rest of each token's bytes, in place. Returns the compacted length.
std::size_t CompactRegion(const WordList& words, std::uint8_t escape, std::uint8_t* region,
                          const TokenMarks& marks);

// A deflate encoder in place of the built-in zlib one. The receiver only
// inflates, so any encoder that writes a conforming zlib stream will do.
class DeflateStage {
 public:
  virtual ~DeflateStage() = default;
  // Writes the zlib stream of `size` bytes of `source` into `out` (room
  // `capacity`); returns its length, or 0 when it does not fit.
  virtual std::size_t Deflate(const std::uint8_t* source, std::size_t size, std::uint8_t* out,
                              std::size_t capacity) = 0;
};

// Packs `count` raw bytes (1 to 64511) of `source` into `destination`, which
// has room for count + 1 bytes. `flags` comes in with the stages wanted
// (tfDeflate, tfWords) and leaves with the stages applied plus tfHeaderOnly,
// tfEscape and tfShortLength as they apply; `escape` leaves with the escape
// byte used (124 unless tfEscape). Returns the packed length, never above
// `count`. The source is never changed. `deflate`, when given, replaces
// zlib's deflate for the second stage.
std::size_t PackBlock(const WordList& words, const std::uint8_t* source, std::size_t count,
                      std::uint8_t& flags, std::uint8_t& escape, std::uint8_t* destination,
                      DeflateStage* deflate = nullptr);

// Unpacks `count` packed bytes of `source` according to `flags` and `escape`
// into `destination`, which has room for kMaxUnpackedBlock bytes. Returns the
// unpacked length; 0 when inflating fails or the result would exceed
// kMaxUnpackedBlock bytes; -1 when a token names an index past the end of the
// word list.
int UnpackBlock(const WordList& words, const std::uint8_t* source, std::uint8_t escape,
                std::uint8_t flags, std::size_t count, std::uint8_t* destination);

}  // namespace korvan::WordCompress
