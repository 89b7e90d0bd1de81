#include "wire/word_compress.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>

namespace korvan::WordCompress {
namespace {

constexpr std::uint8_t kCr = 13;
constexpr std::uint8_t kLf = 10;

// One deflate stream and one inflater per thread, reused between calls, so a
// block costs no set-up. Level 9, window 15, memory level 8, default
// strategy: the same stream that compress2(..., 9) would make.
class ThreadZlib {
 public:
  ThreadZlib() {
    deflate_ok_ = deflateInit2(&deflate_, 9, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    inflater_ = libdeflate_alloc_decompressor();
  }
  ~ThreadZlib() {
    if (deflate_ok_) deflateEnd(&deflate_);
    if (inflater_ != nullptr) libdeflate_free_decompressor(inflater_);
  }
  ThreadZlib(const ThreadZlib&) = delete;
  ThreadZlib& operator=(const ThreadZlib&) = delete;

  // Deflates `count` bytes into `out` (room `room`). Returns the length, or 0
  // when the output does not fit or zlib fails.
  std::size_t Deflate(const std::uint8_t* in, std::size_t count, std::uint8_t* out, std::size_t room) {
    if (!deflate_ok_ || deflateReset(&deflate_) != Z_OK) return 0;
    deflate_.next_in = const_cast<Bytef*>(in);
    deflate_.avail_in = static_cast<uInt>(count);
    deflate_.next_out = out;
    deflate_.avail_out = static_cast<uInt>(room);
    if (deflate(&deflate_, Z_FINISH) != Z_STREAM_END) return 0;
    return room - deflate_.avail_out;
  }

  // Inflates one zlib stream into `out` (room `room`). Returns the length, or
  // -1 when the stream is damaged (its checksum included), truncated, or
  // inflates to more than `room`; bytes after the stream's end are ignored.
  // libdeflate's whole-buffer decoder does this at about twice the speed of
  // zlib's streaming inflate, which matters on the receiving side of every
  // frame.
  long Inflate(const std::uint8_t* in, std::size_t count, std::uint8_t* out, std::size_t room) {
    if (inflater_ == nullptr) return -1;
    std::size_t used = 0;
    std::size_t written = 0;
    const libdeflate_result rc = libdeflate_zlib_decompress_ex(inflater_, in, count, out, room, &used, &written);
    return rc == LIBDEFLATE_SUCCESS ? static_cast<long>(written) : -1;
  }

 private:
  z_stream deflate_{};
  libdeflate_decompressor* inflater_ = nullptr;
  bool deflate_ok_ = false;
};

ThreadZlib& Zlib() {
  thread_local ThreadZlib zlib;
  return zlib;
}

struct PackScratch {
  TokenMarks marks;
  std::vector<std::uint32_t> found;   // word << 16 | position, in position order
  std::vector<std::uint32_t> by_word; // the same, grouped by word
  std::vector<std::uint8_t> deflated = std::vector<std::uint8_t>(compressBound(kMaxRawBlock));
};

PackScratch& Scratch() {
  thread_local PackScratch scratch;
  return scratch;
}

std::uint8_t* UnpackScratch() {
  thread_local std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kMaxUnpackedBlock]);
  return buffer.get();
}

// More candidate occurrences than this (pathological blocks of words that
// contain each other) and the one-scan search gives way to per-word scans.
constexpr std::size_t kMaxFound = 1 << 20;

// Equal bytes, compared eight at a time: most mismatches show in the first
// eight, where a library call would cost more than the comparison.
bool SameBytes(const std::uint8_t* a, const char* b, std::size_t n) {
  while (n >= 8) {
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    if (x != y) return false;
    a += 8;
    b += 8;
    n -= 8;
  }
  return std::memcmp(a, b, n) == 0;
}

bool EndsWithEmptyLine(const std::uint8_t* out, std::size_t written) {
  return written >= 6 && out[written - 4] == kCr && out[written - 3] == kLf &&
         out[written - 2] == kCr && out[written - 1] == kLf;
}

// Expands tokens of `in` into `out`. Returns the length, 0 on overflow, -1 on
// an index past the end of the list.
int ExpandWords(const WordList& words, const std::uint8_t* in, std::size_t count,
                std::uint8_t escape, bool header_only, std::uint8_t* out) {
  constexpr std::size_t room = kMaxUnpackedBlock;
  std::size_t i = 0;
  std::size_t o = 0;
  if (header_only) {
    // Byte by byte up to the end of the header: after each byte or word
    // written, an empty line (with at least six bytes out) ends the tokens.
    while (i < count) {
      if (in[i] == escape && i + 1 < count) {
        const std::uint8_t index = in[i + 1];
        if (index >= words.size()) return -1;
        const std::string_view w = words.word(index);
        if (o + w.size() > room) return 0;
        std::memcpy(out + o, w.data(), w.size());
        o += w.size();
        i += 2;
      } else {
        if (o == room) return 0;
        out[o++] = in[i++];
      }
      if (EndsWithEmptyLine(out, o)) break;
    }
    const std::size_t rest = count - i;
    if (o + rest > room) return 0;
    std::memcpy(out + o, in + i, rest);
    return static_cast<int>(o + rest);
  }
  while (i < count) {
    const void* hit = std::memchr(in + i, escape, count - i);
    const std::size_t next = hit == nullptr ? count : static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - in);
    const std::size_t run = next - i;
    if (o + run > room) return 0;
    std::memcpy(out + o, in + i, run);
    o += run;
    i = next;
    if (i >= count) break;
    if (i + 1 == count) {  // an escape byte in the last position is plain data
      if (o == room) return 0;
      out[o++] = in[i++];
      break;
    }
    const std::uint8_t index = in[i + 1];
    if (index >= words.size()) return -1;
    const std::string_view w = words.word(index);
    if (o + w.size() > room) return 0;
    std::memcpy(out + o, w.data(), w.size());
    o += w.size();
    i += 2;
  }
  return static_cast<int>(o);
}

}  // namespace

void TokenMarks::Reset(std::size_t count) {
  count_ = count;
  tokens_ = 0;
  const std::size_t blocks = (count + 63) / 64 + 1;
  covered_.assign(blocks, 0);
  starts_.assign(blocks, 0);
  if (index_.size() < count) index_.resize(count);
}

bool TokenMarks::Overlaps(std::size_t pos, std::size_t length) const {
  std::size_t end = pos + length;  // exclusive
  while (pos < end) {
    const std::size_t block = pos >> 6;
    const std::size_t bit = pos & 63;
    const std::size_t span = std::min<std::size_t>(64 - bit, end - pos);
    const std::uint64_t mask = (span == 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << span) - 1)) << bit;
    if (covered_[block] & mask) return true;
    pos += span;
  }
  return false;
}

void TokenMarks::Place(std::size_t pos, std::size_t length, std::uint8_t index) {
  std::size_t p = pos;
  const std::size_t end = pos + length;
  while (p < end) {
    const std::size_t block = p >> 6;
    const std::size_t bit = p & 63;
    const std::size_t span = std::min<std::size_t>(64 - bit, end - p);
    const std::uint64_t mask = (span == 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << span) - 1)) << bit;
    covered_[block] |= mask;
    p += span;
  }
  starts_[pos >> 6] |= std::uint64_t{1} << (pos & 63);
  index_[pos] = index;
  ++tokens_;
}

std::size_t TokenMarks::NextTokenStart(std::size_t pos) const {
  if (pos >= count_) return count_;
  std::size_t block = pos >> 6;
  std::uint64_t bits = starts_[block] & (~std::uint64_t{0} << (pos & 63));
  const std::size_t blocks = (count_ + 63) / 64;
  while (bits == 0) {
    if (++block >= blocks) return count_;
    bits = starts_[block];
  }
  return std::min(count_, block * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
}

bool PickEscapeByte(const std::uint8_t* region, std::size_t count, std::uint8_t& escape) {
  std::array<bool, 256> seen{};
  for (std::size_t i = 0; i < count; ++i) seen[region[i]] = true;
  if (!seen[escape]) return true;
  for (int v = 32; v <= 127; ++v) {
    if (!seen[v]) {
      escape = static_cast<std::uint8_t>(v);
      return true;
    }
  }
  for (int v = 0; v <= 255; ++v) {
    if (!seen[v]) {
      escape = static_cast<std::uint8_t>(v);
      return true;
    }
  }
  return false;
}

void SubstituteWord(std::string_view word, std::uint8_t index, std::uint8_t escape,
                    std::uint8_t* region, std::size_t count, TokenMarks& marks) {
  const std::size_t length = word.size();
  if (length < WordList::kMinWordLength || length > count) return;
  // A word holding the escape byte could match the filler of a token.
  if (word.find(static_cast<char>(escape)) != std::string_view::npos) return;
  std::size_t p = 0;
  while (p + length <= count) {
    if (!marks.Overlaps(p, length) && std::memcmp(region + p, word.data(), length) == 0) {
      marks.Place(p, length, index);
      region[p] = escape;
      region[p + 1] = index;
      std::memset(region + p + 2, escape, length - 2);
      p += length;
    } else {
      ++p;
    }
  }
}

void SubstituteAllWords(const WordList& words, const std::uint8_t* region, std::size_t count,
                        TokenMarks& marks) {
  if (words.empty() || count < WordList::kMinWordLength) return;
  PackScratch& scratch = Scratch();
  std::vector<std::uint32_t>& found = scratch.found;
  found.clear();
  std::array<std::uint32_t, WordList::kMaxWords + 1> per_word{};

  // 1. Every occurrence of every word in the untouched region. Eight bytes
  // compared as one integer reject almost every candidate cheaply.
  bool overflow = false;
  for (std::size_t q = 0; q + 1 < count && !overflow; ++q) {
    if (q + 4 <= count) {
      std::uint32_t head4 = 0;
      std::memcpy(&head4, region + q, 4);
      if (!words.AnyWordMayStartWith(head4, region[q], region[q + 1])) continue;
    }
    if (!words.AnyWordStartsWith(region[q], region[q + 1])) continue;
    const bool room_for_eight = q + 8 <= count;
    std::uint64_t head = 0;
    if (room_for_eight) std::memcpy(&head, region + q, 8);
    for (const WordList::Candidate& c : words.WordsStartingWith(region[q], region[q + 1])) {
      if (q + c.length > count) continue;
      if (room_for_eight) {
        if ((head & c.mask) != c.prefix) continue;
        if (c.length > 8 && !SameBytes(region + q + 8, words.word(c.index).data() + 8, c.length - 8u)) continue;
      } else if (std::memcmp(region + q + 2, words.word(c.index).data() + 2, c.length - 2u) != 0) {
        continue;
      }
      found.push_back(static_cast<std::uint32_t>(c.index) << 16 | static_cast<std::uint32_t>(q));
      ++per_word[c.index + 1u];
      if (found.size() >= kMaxFound) {
        overflow = true;
        break;
      }
    }
  }
  if (overflow) {
    // Same result, the slow way: the region is not changed here, so a copy
    // takes the in-place writes of SubstituteWord.
    std::vector<std::uint8_t> copy(region, region + count);
    for (std::size_t w = 0; w < words.size(); ++w) {
      SubstituteWord(words.word(w), static_cast<std::uint8_t>(w), 0, copy.data(), count, marks);
    }
    return;
  }

  // 2. Group by word, keeping position order inside each group.
  for (std::size_t w = 1; w <= WordList::kMaxWords; ++w) per_word[w] += per_word[w - 1];
  std::vector<std::uint32_t>& by_word = scratch.by_word;
  by_word.resize(found.size());
  {
    std::array<std::uint32_t, WordList::kMaxWords + 1> fill = per_word;
    for (const std::uint32_t f : found) by_word[fill[f >> 16]++] = f;
  }

  // 3. Words in index order; each takes its occurrences left to right that
  // neither overlap its own previous token nor any token of an earlier word.
  for (std::size_t w = 0; w < words.size(); ++w) {
    const std::size_t length = words.word(w).size();
    std::size_t resume = 0;
    for (std::size_t k = per_word[w]; k < per_word[w + 1]; ++k) {
      const std::size_t q = by_word[k] & 0xFFFF;
      if (q < resume || marks.Overlaps(q, length)) continue;
      marks.Place(q, length, static_cast<std::uint8_t>(w));
      resume = q + length;
    }
  }
}

std::size_t CompactRegion(const WordList& words, std::uint8_t escape, std::uint8_t* region,
                          const TokenMarks& marks) {
  const std::size_t count = marks.size();
  std::size_t out = 0;
  std::size_t pos = 0;
  while (pos < count) {
    const std::size_t token = marks.NextTokenStart(pos);
    if (token > pos) {
      std::memmove(region + out, region + pos, token - pos);
      out += token - pos;
    }
    if (token >= count) break;
    const std::uint8_t index = marks.IndexAt(token);
    region[out++] = escape;
    region[out++] = index;
    pos = token + words.word(index).size();
  }
  return out;
}

std::size_t PackBlock(const WordList& words, const std::uint8_t* source, std::size_t count,
                      std::uint8_t& flags, std::uint8_t& escape, std::uint8_t* destination,
                      DeflateStage* deflate) {
  const std::uint8_t wanted = flags;
  std::uint8_t applied = 0;
  escape = kDefaultEscape;
  std::memcpy(destination, source, count);
  std::size_t length = count;

  if (wanted & tfWords) {
    std::size_t region = count;
    bool words_on = PickEscapeByte(destination, count, escape);
    bool header_only = false;
    if (!words_on) {
      // Every byte value occurs: substitute only in the leading header, if it
      // ends at position 6 or later.
      std::size_t header = 4;
      for (std::size_t i = 0; i + 4 <= count; ++i) {
        if (destination[i] == kCr && destination[i + 1] == kLf && destination[i + 2] == kCr &&
            destination[i + 3] == kLf) {
          header = i + 4;
          break;
        }
      }
      if (header >= 10 && PickEscapeByte(destination, header, escape)) {
        words_on = true;
        header_only = true;
        region = header;
      }
    }
    if (words_on) {
      TokenMarks& marks = Scratch().marks;
      marks.Reset(region);
      SubstituteAllWords(words, destination, region, marks);
      std::size_t compacted = marks.token_count() == 0 ? region : CompactRegion(words, escape, destination, marks);
      if (header_only && compacted < region) {
        std::memmove(destination + compacted, destination + region, count - region);
      }
      const std::size_t block = compacted + (count - region);
      if (block < count) {
        applied = static_cast<std::uint8_t>(tfWords | (header_only ? tfHeaderOnly : 0) |
                                            (escape != kDefaultEscape ? tfEscape : 0));
        length = block;
      } else {
        std::memcpy(destination, source, count);
      }
    }
    if (!(applied & tfWords)) escape = kDefaultEscape;
  }

  if (wanted & tfDeflate) {
    std::vector<std::uint8_t>& out = Scratch().deflated;
    const std::size_t packed = deflate != nullptr ? deflate->Deflate(destination, length, out.data(), out.size())
                                                  : Zlib().Deflate(destination, length, out.data(), out.size());
    if (packed > 0 && packed < length) {
      std::memcpy(destination, out.data(), packed);
      length = packed;
      applied |= tfDeflate;
    }
  }

  if (length <= 255) applied |= tfShortLength;
  flags = applied;
  return length;
}

int UnpackBlock(const WordList& words, const std::uint8_t* source, std::uint8_t escape,
                std::uint8_t flags, std::size_t count, std::uint8_t* destination) {
  const bool deflated = flags & tfDeflate;
  const bool worded = flags & tfWords;
  if (!deflated && !worded) {
    if (count > kMaxUnpackedBlock) return 0;
    std::memcpy(destination, source, count);
    return static_cast<int>(count);
  }
  const std::uint8_t* input = source;
  std::size_t input_length = count;
  if (deflated) {
    std::uint8_t* target = worded ? UnpackScratch() : destination;
    const long inflated = Zlib().Inflate(source, count, target, kMaxUnpackedBlock);
    if (inflated <= 0) return 0;
    if (!worded) return static_cast<int>(inflated);
    input = target;
    input_length = static_cast<std::size_t>(inflated);
  }
  return ExpandWords(words, input, input_length, escape, (flags & tfHeaderOnly) != 0, destination);
}

}  // namespace korvan::WordCompress
