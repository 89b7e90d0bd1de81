#include "wire/word_list.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>


namespace korvan {
namespace {

constexpr std::array<std::uint8_t, 4> kMagic = {'K', 'V', 'W', 'L'};
constexpr std::uint8_t kFormat = 1;

void SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

std::uint32_t ReadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void WriteLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

WordList::WordList() { BuildIndex(); }

WordList::WordList(std::uint8_t version, std::vector<std::string> words)
    : version_(version), words_(std::move(words)) {
  if (words_.size() > kMaxWords) {
    throw std::invalid_argument("word list holds more than 256 words");
  }
  for (std::size_t i = 0; i < words_.size(); ++i) {
    const std::string& w = words_[i];
    if (w.size() < kMinWordLength || w.size() > kMaxWordLength) {
      throw std::invalid_argument("word " + std::to_string(i) + " is not 2 to 255 bytes long");
    }
    if (w.find('\0') != std::string::npos) {
      throw std::invalid_argument("word " + std::to_string(i) + " contains a 0 byte");
    }
  }
  BuildIndex();
}

void WordList::BuildIndex() {
  // Counting sort of the word indices by their first two bytes; within a
  // bucket the index order is kept.
  bucket_start_.assign(65537, 0);
  for (const std::string& w : words_) {
    const std::size_t key = static_cast<std::uint8_t>(w[0]) | (static_cast<std::size_t>(static_cast<std::uint8_t>(w[1])) << 8);
    ++bucket_start_[key + 1];
  }
  for (std::size_t k = 1; k < bucket_start_.size(); ++k) bucket_start_[k] = static_cast<std::uint16_t>(bucket_start_[k] + bucket_start_[k - 1]);
  bucket_words_.assign(words_.size(), Candidate{});
  std::vector<std::uint16_t> fill(bucket_start_.begin(), bucket_start_.end() - 1);
  bucket_used_.fill(0);
  head_used_.fill(0);
  has_short_words_ = false;
  for (std::size_t i = 0; i < words_.size(); ++i) {
    const std::string& w = words_[i];
    const std::size_t key = static_cast<std::uint8_t>(w[0]) | (static_cast<std::size_t>(static_cast<std::uint8_t>(w[1])) << 8);
    Candidate c{0, 0, static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(w.size())};
    // Laid out in memory like the region bytes they are compared with.
    const std::size_t known = std::min<std::size_t>(8, w.size());
    const std::uint8_t ones[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::memcpy(&c.prefix, w.data(), known);
    std::memcpy(&c.mask, ones, known);
    bucket_words_[fill[key]++] = c;
    if (w.size() < 4) {
      has_short_words_ = true;
    } else {
      std::uint32_t head = 0;
      std::memcpy(&head, w.data(), 4);
      const std::size_t h = HashHead(head);
      head_used_[h >> 6] |= std::uint64_t{1} << (h & 63);
    }
    bucket_used_[key >> 6] |= std::uint64_t{1} << (key & 63);
  }
}

WordListPtr ParseWordListFile(std::span<const std::uint8_t> file, std::string* error) {
  if (file.size() > WordList::kMaxFileSize) {
    SetError(error, "file is larger than 65536 bytes");
    return nullptr;
  }
  if (file.size() <= WordList::kLeadingFieldSize) {
    SetError(error, "file is too short");
    return nullptr;
  }
  // The content may be 65536 bytes, one more than a frame's unpacked block,
  // so the stream is inflated here rather than through UnpackBlock.
  std::vector<std::uint8_t> content(WordList::kMaxContentSize + 1);
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) {
    SetError(error, "zlib failed to start");
    return nullptr;
  }
  zs.next_in = const_cast<Bytef*>(file.data() + WordList::kLeadingFieldSize);
  zs.avail_in = static_cast<uInt>(file.size() - WordList::kLeadingFieldSize);
  zs.next_out = content.data();
  zs.avail_out = static_cast<uInt>(content.size());
  const int rc = inflate(&zs, Z_FINISH);
  const std::size_t produced = content.size() - zs.avail_out;
  inflateEnd(&zs);
  if (rc != Z_STREAM_END) {
    SetError(error, produced > WordList::kMaxContentSize ? "content is larger than 65536 bytes"
                                                          : "the zlib stream is damaged");
    return nullptr;
  }
  if (produced == 0) {
    SetError(error, "content is empty");
    return nullptr;
  }
  content.resize(produced);

  std::vector<std::string> words;
  std::size_t start = 1;
  for (std::size_t i = 1; i < content.size(); ++i) {
    if (content[i] != 0) continue;
    words.emplace_back(reinterpret_cast<const char*>(content.data() + start), i - start);
    start = i + 1;
  }
  // Bytes after the last 0 byte (an unterminated word) are ignored.
  try {
    return std::make_shared<const WordList>(content[0], std::move(words));
  } catch (const std::invalid_argument& e) {
    SetError(error, e.what());
    return nullptr;
  }
}

WordListPtr LoadWordList(const std::filesystem::path& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    SetError(error, "cannot open " + path.string());
    return nullptr;
  }
  std::vector<std::uint8_t> bytes(WordList::kMaxFileSize + 1);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (in.bad()) {
    SetError(error, "cannot read " + path.string());
    return nullptr;
  }
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return ParseWordListFile(bytes, error);
}

std::vector<std::uint8_t> SerializeWordListFile(const WordList& list) {
  std::vector<std::uint8_t> content;
  content.push_back(list.version());
  for (const std::string& w : list.words()) {
    content.insert(content.end(), w.begin(), w.end());
    content.push_back(0);
  }
  uLongf packed_size = compressBound(static_cast<uLong>(content.size()));
  std::vector<std::uint8_t> file(WordList::kLeadingFieldSize + packed_size);
  if (compress2(file.data() + WordList::kLeadingFieldSize, &packed_size, content.data(),
                static_cast<uLong>(content.size()), 9) != Z_OK) {
    throw std::runtime_error("zlib failed to compress the word list");
  }
  file.resize(WordList::kLeadingFieldSize + packed_size);
  std::copy(kMagic.begin(), kMagic.end(), file.begin());
  file[4] = kFormat;
  file[5] = list.version();
  const std::uint8_t* stream = file.data() + WordList::kLeadingFieldSize;
  WriteLe32(file.data() + 8, static_cast<std::uint32_t>(crc32(0, stream, static_cast<uInt>(packed_size))));
  WriteLe32(file.data() + 12, static_cast<std::uint32_t>(packed_size));
  return file;
}

LeadingFieldInfo InspectLeadingField(std::span<const std::uint8_t> file) {
  LeadingFieldInfo info;
  if (file.size() < WordList::kLeadingFieldSize) return info;
  info.ours = std::equal(kMagic.begin(), kMagic.end(), file.begin()) && file[4] == kFormat;
  if (!info.ours) return info;
  const std::size_t length = file.size() - WordList::kLeadingFieldSize;
  const std::uint8_t* stream = file.data() + WordList::kLeadingFieldSize;
  info.checksum_ok = ReadLe32(file.data() + 12) == length &&
                     ReadLe32(file.data() + 8) == crc32(0, stream, static_cast<uInt>(length));
  return info;
}

}  // namespace korvan
