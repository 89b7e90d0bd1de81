// The shared word list of the block codec and its file format.
//
// A WordList is immutable once built: every method is const and any number of
// threads may use one list at once. The program loads it once at start-up and
// shares it by std::shared_ptr<const WordList>.
//
// Word-list file (korvan.lvk):
//   offset 0, 16 bytes  leading field; loading skips it. We write
//                       "KVWL" (4 bytes), format 1 (1 byte), the version byte,
//                       2 zero bytes, the CRC-32 of the zlib stream (uint32 LE)
//                       and the stream's length (uint32 LE), so that
//                       `korvan-codec words dump` can tell a damaged file.
//   offset 16           one zlib stream (RFC 1950) that inflates to the
//                       version byte followed by the words, each ended by 0.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvan {

class WordList {
 public:
  static constexpr std::size_t kMaxWords = 256;  // the index travels as one byte
  static constexpr std::size_t kMinWordLength = 2;
  static constexpr std::size_t kMaxWordLength = 255;
  static constexpr std::size_t kMaxFileSize = 65536;
  static constexpr std::size_t kMaxContentSize = 65536;
  static constexpr std::size_t kLeadingFieldSize = 16;

  // An empty list of version 0: substitution never applies.
  WordList();
  // Throws std::invalid_argument when a word is out of 2..255 bytes, contains
  // a 0 byte, or there are more than 256 words.
  WordList(std::uint8_t version, std::vector<std::string> words);

  std::uint8_t version() const { return version_; }
  std::size_t size() const { return words_.size(); }
  bool empty() const { return words_.empty(); }
  std::string_view word(std::size_t index) const { return words_[index]; }
  const std::vector<std::string>& words() const { return words_; }

  // A word as the one-scan search sees it: its first (up to) eight bytes in
  // an integer, with the mask of the bytes that count.
  struct Candidate {
    std::uint64_t prefix;
    std::uint64_t mask;
    std::uint8_t index;
    std::uint8_t length;
  };
  // The words whose first two bytes are (b0, b1), in index order.
  std::span<const Candidate> WordsStartingWith(std::uint8_t b0, std::uint8_t b1) const {
    const std::size_t key = static_cast<std::size_t>(b0) | (static_cast<std::size_t>(b1) << 8);
    return {bucket_words_.data() + bucket_start_[key],
            static_cast<std::size_t>(bucket_start_[key + 1] - bucket_start_[key])};
  }
  // Cheap pre-filter for the above: false when no word starts with (b0, b1).
  bool AnyWordStartsWith(std::uint8_t b0, std::uint8_t b1) const {
    const std::size_t key = static_cast<std::size_t>(b0) | (static_cast<std::size_t>(b1) << 8);
    return (bucket_used_[key >> 6] >> (key & 63)) & 1U;
  }
  // A sharper pre-filter where four bytes are there to look at: false when
  // no word can start with `head` (the four bytes in memory order).
  bool AnyWordMayStartWith(std::uint32_t head, std::uint8_t b0, std::uint8_t b1) const {
    const std::size_t h = HashHead(head);
    return ((head_used_[h >> 6] >> (h & 63)) & 1U) || (has_short_words_ && AnyWordStartsWith(b0, b1));
  }

 private:
  void BuildIndex();
  static std::size_t HashHead(std::uint32_t head) { return (head * 2654435761U) >> 16; }

  std::uint8_t version_ = 0;
  std::vector<std::string> words_;
  std::vector<std::uint16_t> bucket_start_;  // 65537 offsets into bucket_words_
  std::vector<Candidate> bucket_words_;
  std::array<std::uint64_t, 1024> bucket_used_{};
  std::array<std::uint64_t, 1024> head_used_{};  // by hash of the first four bytes
  bool has_short_words_ = false;                  // words of two or three bytes
};

using WordListPtr = std::shared_ptr<const WordList>;

// Parses the bytes of a word-list file. On failure returns null and puts a
// short reason into *error (when given).
WordListPtr ParseWordListFile(std::span<const std::uint8_t> file, std::string* error = nullptr);

// Reads and parses a word-list file.
WordListPtr LoadWordList(const std::filesystem::path& path, std::string* error = nullptr);

// The bytes of a word-list file for `list`, leading field included.
std::vector<std::uint8_t> SerializeWordListFile(const WordList& list);

// What the leading field of a file says, for diagnostics only.
struct LeadingFieldInfo {
  bool ours = false;          // carries our magic
  bool checksum_ok = false;   // CRC-32 and length match the stream
};
LeadingFieldInfo InspectLeadingField(std::span<const std::uint8_t> file);

}  // namespace korvan
