#include "tools/word_list/word_list_builder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "wire/word_compress.h"

namespace korvan {
namespace {

// Small synthetic responses: a header block and a page whose boilerplate is
// shared by every document while the text between differs, so that deflate
// alone cannot exploit what the documents have in common.
class SyntheticTraffic {
 public:
  explicit SyntheticTraffic(std::uint32_t seed) : random_(seed) {}

  std::string Text(std::size_t words) {
    static const char* const kSyllables[] = {"ka", "lo", "mi", "ne", "su", "tra", "vek", "por", "zu", "den", "ri", "gol"};
    std::string text;
    for (std::size_t i = 0; i < words; ++i) {
      const std::size_t syllables = 1 + random_() % 3;
      for (std::size_t s = 0; s < syllables; ++s) text += kSyllables[random_() % std::size(kSyllables)];
      text += ' ';
    }
    return text;
  }

  std::string Response() {
    std::string r = "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: max-age=" +
                    std::to_string(random_() % 100000) +
                    "\r\nVary: Accept-Encoding\r\nX-Content-Type-Options: nosniff\r\n\r\n";
    r += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>";
    r += Text(4);
    r += "</title>\n<link rel=\"stylesheet\" type=\"text/css\" href=\"/static/site.css\">\n"
         "<script type=\"text/javascript\" src=\"/static/jquery.min.js\"></script>\n</head>\n<body>\n<p>";
    r += Text(40 + random_() % 60);
    r += "</p>\n<footer class=\"site-footer\">Powered by a static site generator</footer>\n</body>\n</html>\n";
    return r;
  }

  std::vector<std::string> Responses(std::size_t n) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(Response());
    return out;
  }

 private:
  std::mt19937 random_;
};

std::size_t Deflate9(const std::string& block) {
  uLongf room = compressBound(static_cast<uLong>(block.size()));
  std::vector<Bytef> out(room);
  EXPECT_EQ(compress2(out.data(), &room, reinterpret_cast<const Bytef*>(block.data()),
                      static_cast<uLong>(block.size()), 9),
            Z_OK);
  return std::min<std::size_t>(room, block.size());
}

// Packs and unpacks `block`; expects the bytes back; returns the packed size.
std::size_t PackRoundTrip(const WordList& words, const std::string& block) {
  std::vector<std::uint8_t> packed(block.size() + 1);
  std::vector<std::uint8_t> unpacked(kMaxUnpackedBlock + 1);
  std::uint8_t flags = tfDeflate | tfWords;
  std::uint8_t escape = kDefaultEscape;
  const std::size_t length = WordCompress::PackBlock(words, reinterpret_cast<const std::uint8_t*>(block.data()),
                                                     block.size(), flags, escape, packed.data());
  const int back = WordCompress::UnpackBlock(words, packed.data(), escape, flags, length, unpacked.data());
  EXPECT_EQ(back, static_cast<int>(block.size()));
  if (back == static_cast<int>(block.size())) {
    EXPECT_EQ(std::memcmp(unpacked.data(), block.data(), block.size()), 0);
  }
  return length;
}

TEST(WordListBuilder, SameCorpusGivesTheSameList) {
  const auto documents = SyntheticTraffic(7).Responses(40);
  const WordList a = BuildWordList(documents, 3, 64);
  const WordList b = BuildWordList(documents, 3, 64);
  EXPECT_FALSE(a.empty());
  EXPECT_EQ(a.words(), b.words());
  EXPECT_EQ(a.version(), 3);
}

TEST(WordListBuilder, RespectsCountAndWordLimits) {
  // Shared phrases that hold the bytes 0 and 124 and run far past 255 bytes.
  SyntheticTraffic traffic(11);
  const std::string long_run = traffic.Text(120);
  std::vector<std::string> documents;
  for (int i = 0; i < 30; ++i) {
    std::string d = traffic.Response();
    d += std::string("a|b||c shared pipes|and more|") + '\0' + "zero\0byte phrase shared by all" + long_run;
    d += traffic.Text(30);
    documents.push_back(d);
  }
  for (const std::size_t count : {std::size_t{1}, std::size_t{10}, std::size_t{256}, std::size_t{1000}}) {
    const WordList list = BuildWordList(documents, 1, count);
    EXPECT_LE(list.size(), std::min<std::size_t>(count, WordList::kMaxWords));
    EXPECT_GE(list.size(), 1U);
    for (const std::string& w : list.words()) {
      EXPECT_GE(w.size(), WordList::kMinWordLength);
      EXPECT_LE(w.size(), WordList::kMaxWordLength);
      EXPECT_EQ(w.find('\0'), std::string::npos);
      EXPECT_EQ(w.find('|'), std::string::npos);
    }
    // What comes out must serialize and parse back to the same list.
    const auto file = SerializeWordListFile(list);
    const WordListPtr parsed = ParseWordListFile(file);
    ASSERT_NE(parsed, nullptr);
    EXPECT_EQ(parsed->words(), list.words());
  }
}

TEST(WordListBuilder, ListBeatsDeflateOnUnseenResponsesAndRoundTrips) {
  const WordList list = BuildWordList(SyntheticTraffic(21).Responses(60), 1);
  ASSERT_FALSE(list.empty());
  std::size_t deflated = 0;
  std::size_t packed = 0;
  for (const std::string& response : SyntheticTraffic(99).Responses(20)) {
    deflated += Deflate9(response);
    packed += PackRoundTrip(list, response);
  }
  // The boilerplate is about a third of each deflated response.
  EXPECT_LT(static_cast<double>(packed), 0.85 * static_cast<double>(deflated));
}

TEST(WordListBuilder, TakesSharedBoilerplateAsLongPhrases) {
  const WordList list = BuildWordList(SyntheticTraffic(5).Responses(50), 1);
  // Every document carries the 49-byte line below whole; it must not come
  // out only in pieces.
  const std::string line = "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">";
  const bool whole = std::any_of(list.words().begin(), list.words().end(),
                                 [&](const std::string& w) { return w.find(line) != std::string::npos; });
  EXPECT_TRUE(whole);
  // Substitution tries words in list order: a word that holds an earlier
  // word whole would find its text already cut up by that word's tokens.
  for (std::size_t i = 0; i < list.size(); ++i) {
    for (std::size_t j = i + 1; j < list.size(); ++j) {
      EXPECT_EQ(list.word(j).find(list.word(i)), std::string_view::npos)
          << "word " << j << " holds the earlier word " << i;
    }
  }
}

TEST(WordListBuilder, IgnoresTextThatOnlyOneDocumentRepeats) {
  std::vector<std::string> documents = SyntheticTraffic(3).Responses(20);
  const std::string private_phrase = "this sentence belongs to a single document and repeats in it";
  for (int i = 0; i < 50; ++i) documents[4] += private_phrase + SyntheticTraffic(100 + i).Text(20);
  const WordList list = BuildWordList(documents, 1);
  for (const std::string& w : list.words()) {
    EXPECT_EQ(private_phrase.find(w), std::string::npos) << "chose \"" << w << "\"";
  }
}

// True when a word holds `text` whole or a piece of it of 8 bytes or more.
bool HasWordOf(const WordList& list, const std::string& text) {
  return std::any_of(list.words().begin(), list.words().end(), [&](const std::string& w) {
    return w.find(text) != std::string::npos || (w.size() >= 8 && text.find(w) != std::string::npos);
  });
}

// Six groups (sites) of five responses each; the first group's pages also
// carry a phrase of their own.
struct GroupedCorpus {
  std::vector<std::string> documents;
  std::vector<std::int32_t> groups;
};

GroupedCorpus SixSites(const std::string& first_site_phrase) {
  GroupedCorpus corpus;
  SyntheticTraffic traffic(13);
  for (std::int32_t i = 0; i < 30; ++i) {
    std::string d = traffic.Response();
    if (i % 6 == 0) d += first_site_phrase + traffic.Text(20);
    corpus.documents.push_back(std::move(d));
    corpus.groups.push_back(i % 6);
  }
  return corpus;
}

TEST(WordListBuilder, WithGroupsIgnoresPhrasesOfOneGroup) {
  const std::string site_phrase = "<nav class=\"vekpor\"><a href=\"/kalomi\">Kalomi home</a> <a href=\"/tra\">Trazu</a></nav>";
  const GroupedCorpus corpus = SixSites(site_phrase);
  // Without groups the five pages are five sources, and the phrase pays.
  const WordList plain = BuildWordList(corpus.documents, 1);
  EXPECT_TRUE(HasWordOf(plain, site_phrase));
  // With groups it is one site's text.
  const WordList grouped = BuildWordList(corpus.documents, corpus.groups, 1);
  ASSERT_FALSE(grouped.empty());
  EXPECT_FALSE(HasWordOf(grouped, site_phrase));
  // What every site shares still comes out.
  EXPECT_TRUE(HasWordOf(grouped, "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"));
}

TEST(WordListBuilder, GroupIdsCountOnlyByEquality) {
  GroupedCorpus corpus = SixSites("<div id=\"zuden\">rigol</div>");
  const WordList a = BuildWordList(corpus.documents, corpus.groups, 1, 64);
  for (std::int32_t& g : corpus.groups) g = 1000 - 7 * g;
  const WordList b = BuildWordList(corpus.documents, corpus.groups, 1, 64);
  EXPECT_EQ(a.words(), b.words());
  // One group for all: nothing is shared by several groups.
  std::fill(corpus.groups.begin(), corpus.groups.end(), 5);
  EXPECT_TRUE(BuildWordList(corpus.documents, corpus.groups, 1).empty());
}

TEST(WordListBuilder, RejectsGroupsThatDoNotMatchTheDocuments) {
  const auto documents = SyntheticTraffic(4).Responses(6);
  EXPECT_THROW(BuildWordList(documents, std::vector<std::int32_t>{0, 1, 2}, 1), std::invalid_argument);
}

TEST(WordListBuilder, SkipsDigitsDatesHashesAndBase64) {
  // Values that every document carries, in the same place, and that still
  // say nothing about other traffic.
  const std::string base64 = "sha384-oqVuAfXRKap7fdgcCY5uykM6+R9GqQ8K/uxy9rx7HNQlGYl1kPzQho1wx4JwY8wC";
  const std::string hex = "cf05388f2679ee054f2beb29a391d25f4e673ac3";
  const std::string date = "Tue, 16 May 2017 19:17:50";
  const std::string digits = "31898100, 2016112208, 4398046511104, 17179869184";
  SyntheticTraffic traffic(17);
  std::vector<std::string> documents;
  std::vector<std::int32_t> groups;
  for (std::int32_t i = 0; i < 30; ++i) {
    std::string d = traffic.Response();
    d += traffic.Text(10) + "<script integrity=\"" + base64 + "\"></script>" + traffic.Text(10);
    d += "<a href=\"/c/" + hex + "\">" + traffic.Text(10) + "<time>" + date + "</time>" + traffic.Text(10);
    d += "[" + digits + "]" + traffic.Text(10);
    documents.push_back(std::move(d));
    groups.push_back(i % 6);
  }
  for (const WordList& list : {BuildWordList(documents, 1), BuildWordList(documents, groups, 1)}) {
    ASSERT_FALSE(list.empty());
    for (const std::string& w : list.words()) {
      for (const std::string& value : {base64, hex, date, digits}) {
        for (std::size_t at = 0; at + 12 <= value.size(); ++at) {
          EXPECT_EQ(w.find(value.substr(at, 12)), std::string::npos) << "chose \"" << w << "\"";
        }
      }
    }
  }
}

TEST(WordListBuilder, EmptyOrTinyCorpusGivesAnEmptyList) {
  EXPECT_TRUE(BuildWordList({}, 1).empty());
  EXPECT_TRUE(BuildWordList({"only one document"}, 1).empty());
  EXPECT_TRUE(BuildWordList({"", "", ""}, 1).empty());
  EXPECT_TRUE(BuildWordList(SyntheticTraffic(1).Responses(5), 1, 0).empty());
}

TEST(WordListBuilder, ReportsProgressUntilDone) {
  std::vector<std::string> stages;
  const WordList list = BuildWordList(SyntheticTraffic(8).Responses(20), 1, 32,
                                      [&](std::string_view stage, std::size_t done, std::size_t total) {
                                        if (total > 0) {
                                          EXPECT_LE(done, total);
                                        }
                                        if (stages.empty() || stages.back() != stage) stages.emplace_back(stage);
                                      });
  ASSERT_FALSE(stages.empty());
  EXPECT_EQ(stages.back(), "done");
}

}  // namespace
}  // namespace korvan
