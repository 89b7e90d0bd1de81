// Round trips and malformed input for the block codec, and a differential
// check of the one-scan substitution against word-by-word substitution.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <optional>
#include <random>
#include <atomic>
#include <string>
#include <thread>

#include "wire/word_compress.h"
#include "wire/word_list.h"

namespace korvan {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

struct Packed {
  Bytes bytes;
  std::uint8_t flags = 0;
  std::uint8_t escape = 0;
};

Packed Pack(const WordList& words, const Bytes& raw, std::uint8_t wanted = tfDeflate | tfWords) {
  Packed p;
  p.bytes.assign(raw.size() + 1, 0xEE);
  p.flags = wanted;
  const std::size_t n = WordCompress::PackBlock(words, raw.data(), raw.size(), p.flags, p.escape, p.bytes.data());
  EXPECT_LE(n, raw.size());
  p.bytes.resize(n);
  return p;
}

Bytes Unpack(const WordList& words, const Packed& p, int* result = nullptr) {
  Bytes source = p.bytes;
  Bytes out(kMaxUnpackedBlock);
  const int n = WordCompress::UnpackBlock(words, source.data(), p.escape, p.flags, source.size(), out.data());
  if (result != nullptr) *result = n;
  out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return out;
}

void ExpectRoundTrip(const WordList& words, const Bytes& raw, std::uint8_t wanted = tfDeflate | tfWords) {
  const Packed p = Pack(words, raw, wanted);
  EXPECT_EQ((p.flags & tfShortLength) != 0, p.bytes.size() <= 255);
  if (!(p.flags & tfWords)) {
    EXPECT_EQ(p.escape, kDefaultEscape);
    EXPECT_EQ(p.flags & (tfEscape | tfHeaderOnly), 0);
  }
  EXPECT_EQ((p.flags & tfEscape) != 0, p.escape != kDefaultEscape);
  int n = 0;
  const Bytes back = Unpack(words, p, &n);
  ASSERT_EQ(n, static_cast<int>(raw.size())) << "flags " << int(p.flags);
  EXPECT_TRUE(back == raw);
}

// Words that overlap, contain and extend each other, are two bytes long or
// contain the default escape byte.
WordList AdversarialWords() {
  return WordList(7, {"ab", "abc", "bc", "abcabc", "ca", "||", "a|b", "Content-Type: ", "Content-",
                      "\r\n\r\n", "\r\n", "tent", "xyzzy", std::string(255, 'a'), "aa", "!!", "zz"});
}

Bytes RandomFrom(std::mt19937& rng, std::string_view alphabet, std::size_t n) {
  Bytes b(n);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  for (auto& c : b) c = static_cast<std::uint8_t>(alphabet[pick(rng)]);
  return b;
}

Bytes AllByteValues(std::mt19937& rng, std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i < 256 ? i : rng());
  std::shuffle(b.begin(), b.end(), rng);
  return b;
}

TEST(CodecRoundTrip, RandomBlocksWithAdversarialWordsSurvive) {
  const WordList words = AdversarialWords();
  std::mt19937 rng(1234);
  const std::string_view alphabets[] = {"abc", "abc|", "abcxyz|!\r\n", "aaaab", "Content-Type: \r\n|"};
  for (int round = 0; round < 400; ++round) {
    const std::size_t n = 1 + rng() % (round < 300 ? 600 : 20000);
    const Bytes raw = RandomFrom(rng, alphabets[round % 5], n);
    SCOPED_TRACE("round " + std::to_string(round));
    ExpectRoundTrip(words, raw);
    ExpectRoundTrip(words, raw, tfWords);
  }
}

TEST(CodecRoundTrip, EscapeByteIsChosenAroundTheDefault) {
  const WordList words(1, {"abcabc"});
  // With '|' in the block, the lowest absent value of 32..127 is next.
  Packed p = Pack(words, ToBytes("abcabc | ! abcabc"), tfWords);
  EXPECT_EQ(p.escape, '"');
  EXPECT_TRUE(p.flags & tfEscape);
  // With all of 32..127 present, the lowest absent value overall.
  Bytes raw;
  for (int v = 32; v <= 127; ++v) raw.push_back(static_cast<std::uint8_t>(v));
  for (int i = 0; i < 5; ++i) {
    const std::string s = "abcabcabc";
    raw.insert(raw.end(), s.begin(), s.end());
  }
  raw.push_back(0);
  p = Pack(words, raw, tfWords);
  EXPECT_EQ(p.escape, 1);
  ExpectRoundTrip(words, raw);
}

TEST(CodecRoundTrip, BlocksWithEveryByteValueUseTheHeaderOrNothing) {
  const WordList words = AdversarialWords();
  std::mt19937 rng(99);
  const std::string header = "GET /abcabc HTTP/1.0\r\nContent-Type: abc\r\n\r\n";
  Bytes body = AllByteValues(rng, 3000);
  body.insert(body.end(), {'|', 'a', 'b', 'c', '|'});  // escape bytes in the body stay data

  Bytes raw = ToBytes(header);
  raw.insert(raw.end(), body.begin(), body.end());
  Packed p = Pack(words, raw, tfWords);
  EXPECT_EQ(p.flags & (tfWords | tfHeaderOnly), tfWords | tfHeaderOnly);
  ASSERT_GE(p.bytes.size(), body.size());
  EXPECT_TRUE(std::equal(body.begin(), body.end(), p.bytes.end() - static_cast<long>(body.size())));
  ExpectRoundTrip(words, raw);

  // The first empty line must lie at position 6 or later.
  for (std::size_t at : {0U, 1U, 5U, 6U, 7U, 40U}) {
    Bytes b = ToBytes(std::string(at, 'a') + "\r\n\r\n");
    b.insert(b.end(), body.begin(), body.end());
    p = Pack(words, b, tfWords);
    SCOPED_TRACE("empty line at " + std::to_string(at));
    if (at < 6) {
      EXPECT_EQ(p.flags & tfWords, 0);
    }
    ExpectRoundTrip(words, b);
  }

  // No empty line at all: no substitution.
  p = Pack(words, body, tfWords);
  EXPECT_EQ(p.flags & tfWords, 0);
  ExpectRoundTrip(words, body);
}

TEST(CodecRoundTrip, BoundaryLengthsAndTheShortLengthFlag) {
  const WordList words = AdversarialWords();
  std::mt19937 rng(5);
  for (std::size_t n : {1U, 2U, 254U, 255U, 256U, 257U, 4096U, 64511U}) {
    SCOPED_TRACE("length " + std::to_string(n));
    ExpectRoundTrip(words, AllByteValues(rng, n));                  // incompressible
    ExpectRoundTrip(words, RandomFrom(rng, "abc|\r\n", n));         // substitutes
    ExpectRoundTrip(words, Bytes(n, 'a'));                          // runs of a 255-byte word
  }
  // Exactly 255 packed bytes sets tfShortLength, 256 does not.
  for (std::size_t n : {255U, 256U}) {
    const Packed p = Pack(words, AllByteValues(rng, n), 0);
    EXPECT_EQ(p.bytes.size(), n);
    EXPECT_EQ((p.flags & tfShortLength) != 0, n == 255);
  }
}

TEST(CodecRoundTrip, AStageThatDoesNotShortenIsDropped) {
  const WordList words(1, {"xyzw"});
  std::mt19937 rng(3);
  // Two-byte words replace two bytes by two: never shorter.
  const WordList pairs(1, {"ab"});
  const Packed p = Pack(pairs, ToBytes("ababababab"), tfWords);
  EXPECT_EQ(p.flags & tfWords, 0);
  EXPECT_EQ(p.bytes, ToBytes("ababababab"));
  // Random bytes do not deflate: the raw bytes stay.
  const Bytes noise = AllByteValues(rng, 1000);
  const Packed q = Pack(words, noise);
  EXPECT_EQ(q.flags & (tfDeflate | tfWords), 0);
  EXPECT_EQ(q.bytes, noise);
}

TEST(CodecRoundTrip, EscapeByteAtTheVeryEndIsData) {
  const WordList words(1, {"abcd"});
  // A substituted block whose last byte is the escape byte value 124 is
  // impossible (it would not be the escape byte then), so build the packed
  // block by hand: "abcd" token, then a trailing '|'.
  const Bytes packed = {'|', 0, 'x', '|'};
  Bytes out(kMaxUnpackedBlock);
  Bytes source = packed;
  const int n = WordCompress::UnpackBlock(words, source.data(), '|', tfWords, source.size(), out.data());
  ASSERT_EQ(n, 6);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 6), ToBytes("abcdx|"));
}

TEST(CodecMalformed, BadInputFailsCleanly) {
  const WordList words(1, {"abcd", "efgh"});
  Bytes out(kMaxUnpackedBlock);
  // Index past the end of the list.
  Bytes bad = {'a', '|', 2, 'b'};
  EXPECT_EQ(WordCompress::UnpackBlock(words, bad.data(), '|', tfWords, bad.size(), out.data()), -1);
  // Broken and truncated zlib streams.
  Bytes junk = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(WordCompress::UnpackBlock(words, junk.data(), '|', tfDeflate, junk.size(), out.data()), 0);
  const Bytes text(3000, 'q');
  uLongf size = compressBound(text.size());
  Bytes z(size);
  ASSERT_EQ(compress2(z.data(), &size, text.data(), text.size(), 9), Z_OK);
  z.resize(size);
  for (std::size_t cut : {std::size_t{0}, std::size_t{1}, z.size() / 2, z.size() - 1}) {
    Bytes part(z.begin(), z.begin() + static_cast<long>(cut));
    EXPECT_EQ(WordCompress::UnpackBlock(words, part.data(), '|', tfDeflate, part.size(), out.data()), 0);
  }
  // A flipped byte in the middle never reads or writes out of bounds.
  for (std::size_t i = 0; i < z.size(); ++i) {
    Bytes flipped = z;
    flipped[i] ^= 0x55;
    const int n = WordCompress::UnpackBlock(words, flipped.data(), '|', tfDeflate, flipped.size(), out.data());
    EXPECT_LE(n, static_cast<int>(kMaxUnpackedBlock));
  }
}

TEST(CodecMalformed, OversizedResultsFailInsteadOfOverflowing) {
  const WordList words(1, {std::string(255, 'w')});
  Bytes out(kMaxUnpackedBlock);
  for (std::size_t size : {kMaxUnpackedBlock, kMaxUnpackedBlock + 1, std::size_t{200000}}) {
    const Bytes big(size, 'z');
    uLongf zsize = compressBound(big.size());
    Bytes z(zsize);
    ASSERT_EQ(compress2(z.data(), &zsize, big.data(), big.size(), 9), Z_OK);
    z.resize(zsize);
    const int n = WordCompress::UnpackBlock(words, z.data(), '|', tfDeflate, z.size(), out.data());
    EXPECT_EQ(n, size <= kMaxUnpackedBlock ? static_cast<int>(size) : 0) << size;
  }
  // Tokens that expand past 65535 bytes: 300 tokens of 255 bytes.
  Bytes tokens;
  for (int i = 0; i < 300; ++i) tokens.insert(tokens.end(), {'|', 0});
  EXPECT_EQ(WordCompress::UnpackBlock(words, tokens.data(), '|', tfWords, tokens.size(), out.data()), 0);
  tokens.resize(2 * 257);  // 257 * 255 = 65535 bytes exactly
  EXPECT_EQ(WordCompress::UnpackBlock(words, tokens.data(), '|', tfWords, tokens.size(), out.data()), 65535);
  // Header-only expansion is bounded the same way.
  EXPECT_EQ(WordCompress::UnpackBlock(words, tokens.data(), '|', tfWords | tfHeaderOnly, tokens.size(), out.data()),
            65535);
  tokens.insert(tokens.end(), {'|', 0});
  EXPECT_EQ(WordCompress::UnpackBlock(words, tokens.data(), '|', tfWords | tfHeaderOnly, tokens.size(), out.data()), 0);
}

// zlib's own verdict on one stream, as the receiving side must give it:
// the inflated bytes when the stream ends within `room` bytes (anything after
// its end ignored), nothing when it is damaged, truncated or too long.
std::optional<Bytes> ZlibVerdict(const Bytes& stream, std::size_t room) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return std::nullopt;
  Bytes out(room + 1);
  z.next_in = const_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&z, Z_FINISH);
  const std::size_t n = out.size() - z.avail_out;
  inflateEnd(&z);
  if (rc != Z_STREAM_END || n > room) return std::nullopt;
  out.resize(n);
  return out;
}

TEST(CodecMalformed, InflateAgreesWithZlibOnGoodAndDamagedStreams) {
  const WordList words(1, {"<html>"});
  std::mt19937 rng(11);
  int damaged_seen = 0, good_seen = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    // Text of some length (up to past the 65535-byte limit), deflated by zlib.
    const std::size_t n = trial % 50 == 0 ? 65535 + rng() % 3 : rng() % 4000;
    const Bytes raw = RandomFrom(rng, trial % 2 ? "ab" : "<html> lorem ipsum\r\n", n);
    uLongf size = compressBound(raw.size());
    Bytes stream(size);
    ASSERT_EQ(compress2(stream.data(), &size, raw.data(), raw.size(), 1 + trial % 9), Z_OK);
    stream.resize(size);
    switch (trial % 4) {
      case 1:  // a byte changed: the header, the data or the checksum
        stream[rng() % stream.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
        break;
      case 2:  // cut short
        stream.resize(rng() % stream.size());
        break;
      case 3:  // bytes after the end
        stream.push_back(static_cast<std::uint8_t>(rng()));
        break;
      default:
        break;
    }
    const auto expected = ZlibVerdict(stream, kMaxUnpackedBlock);
    Bytes source = stream;
    source.resize(std::max<std::size_t>(source.size(), 1));
    Bytes out(kMaxUnpackedBlock);
    const int got = WordCompress::UnpackBlock(words, source.data(), kDefaultEscape, tfDeflate, stream.size(), out.data());
    if (!expected || expected->empty()) {  // an empty block reads as a failure too
      EXPECT_EQ(got, 0) << "trial " << trial;
      damaged_seen += !expected;
    } else {
      ASSERT_GT(got, 0) << "trial " << trial;
      out.resize(static_cast<std::size_t>(got));
      EXPECT_TRUE(out == *expected) << "trial " << trial;
      ++good_seen;
    }
  }
  EXPECT_GT(damaged_seen, 500);
  EXPECT_GT(good_seen, 1000);
}

TEST(CodecMalformed, EmptyPayloads) {
  const WordList words(1, {"abcd"});
  Bytes out(kMaxUnpackedBlock);
  Bytes empty(1);
  EXPECT_EQ(WordCompress::UnpackBlock(words, empty.data(), '|', 0, 0, out.data()), 0);
  EXPECT_EQ(WordCompress::UnpackBlock(words, empty.data(), '|', tfDeflate, 0, out.data()), 0);
  EXPECT_EQ(WordCompress::UnpackBlock(words, empty.data(), '|', tfWords, 0, out.data()), 0);
}

// The one-scan search must choose exactly the tokens that word-by-word
// substitution chooses, and no token may overlap another.
TEST(CodecSubstitution, OneScanEqualsWordByWord) {
  const WordList words = AdversarialWords();
  std::mt19937 rng(77);
  for (int round = 0; round < 300; ++round) {
    const Bytes raw = RandomFrom(rng, round % 2 ? "abc!" : "abcz\r\n!", 1 + rng() % 3000);
    WordCompress::TokenMarks fast(raw.size());
    WordCompress::SubstituteAllWords(words, raw.data(), raw.size(), fast);
    WordCompress::TokenMarks slow(raw.size());
    Bytes region = raw;
    for (std::size_t w = 0; w < words.size(); ++w) {
      WordCompress::SubstituteWord(words.word(w), static_cast<std::uint8_t>(w), '|', region.data(), region.size(), slow);
    }
    ASSERT_EQ(fast.token_count(), slow.token_count());
    std::size_t covered_until = 0;
    for (std::size_t p = slow.NextTokenStart(0); p < raw.size(); p = slow.NextTokenStart(p + 1)) {
      ASSERT_TRUE(fast.IsTokenStart(p));
      ASSERT_EQ(fast.IndexAt(p), slow.IndexAt(p));
      EXPECT_GE(p, covered_until);
      covered_until = p + words.word(slow.IndexAt(p)).size();
    }
  }
}

TEST(CodecSubstitution, ALaterWordNeverEntersAToken) {
  // "xy" (index 1) becomes '|' 1; the later word "\x01zz" would match that
  // token's index byte and the two bytes after it if the guard let it.
  const WordList words(1, {"Q0Q", "xy", std::string("\x01zz")});
  const Packed p = Pack(words, ToBytes("Q0Qxyzz"), tfWords);
  ASSERT_EQ(p.flags & tfWords, tfWords);
  EXPECT_EQ(p.bytes, (Bytes{'|', 0, '|', 1, 'z', 'z'}));
  ExpectRoundTrip(words, ToBytes("Q0Qxyzz"), tfWords);
  // A word holding the block's escape byte is never substituted.
  const WordList with_escape(1, {"a|b", "abc"});
  const Packed q = Pack(with_escape, ToBytes("abcabca|babc"), tfWords);
  EXPECT_EQ(q.escape, ' ');
  ExpectRoundTrip(with_escape, ToBytes("abcabca|babc"));
}

TEST(CodecConcurrency, ManyThreadsShareOneList) {
  const WordList words = AdversarialWords();
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      for (int i = 0; i < 50; ++i) {
        const Bytes raw = RandomFrom(rng, "abc|\r\n", 1 + rng() % 5000);
        Bytes packed(raw.size() + 1);
        std::uint8_t flags = tfDeflate | tfWords;
        std::uint8_t escape = 0;
        const std::size_t n = WordCompress::PackBlock(words, raw.data(), raw.size(), flags, escape, packed.data());
        Bytes out(kMaxUnpackedBlock);
        const int m = WordCompress::UnpackBlock(words, packed.data(), escape, flags, n, out.data());
        if (m != static_cast<int>(raw.size()) || !std::equal(raw.begin(), raw.end(), out.begin())) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace korvan
