// Sources and support keys, capped gains, the data filter and the repeats
// that become candidates.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tools/word_list/candidate_finder.h"
#include "tools/word_list/data_filter.h"
#include "tools/word_list/source_rules.h"
#include "tools/word_list/suffix_array.h"
#include "tools/word_list/word_list_corpus.h"

namespace korvan::word_list {
namespace {

// A corpus with its index and sources, as the builder prepares it.
struct Prepared {
  Corpus corpus;
  std::vector<std::int32_t> sa;
  std::vector<std::uint8_t> lcp;

  Prepared(const std::vector<std::string>& documents, const std::vector<std::int32_t>& groups = {})
      : corpus(MakeCorpus(documents)),
        sa(SuffixArray(corpus.symbols, corpus.upper)),
        lcp(CommonPrefixes(corpus.symbols, sa, 255)) {
    FindSources(corpus, sa, lcp, documents, groups);
  }

  std::vector<std::string> CandidateTexts() const {
    const ProgressCallback none;
    std::vector<std::string> texts;
    for (const Candidate& c : FindCandidates(corpus, sa, lcp, ProgressMeter(none))) {
      texts.emplace_back(reinterpret_cast<const char*>(corpus.bytes.data() + sa[c.lb]), c.length);
    }
    return texts;
  }
};

std::string Noise(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::string text(size, ' ');
  for (char& c : text) c = static_cast<char>('a' + random() % 26);
  return text;
}

bool Has(const std::vector<std::string>& texts, const std::string& text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

TEST(SourceRules, DocumentsSharingLongRunsAreOneSource) {
  // Documents 0 and 1 share a 5000-byte run (pages of one template); 2 is
  // apart. Documents 0 and 1 then weigh half each.
  const std::string shared = Noise(5000, 1);
  const Prepared p({shared + Noise(300, 2), Noise(300, 3) + shared, Noise(5300, 4)});
  EXPECT_EQ(p.corpus.doc_source, (std::vector<std::int32_t>{0, 0, 2}));
  EXPECT_EQ(p.corpus.keys, 2);
  EXPECT_EQ(p.corpus.min_support, kMinSources);
  EXPECT_FALSE(p.corpus.capped);
  const double deflated0 = p.corpus.TextCost(p.corpus.unit_begin[0], p.corpus.unit_begin[1] - p.corpus.unit_begin[0]);
  EXPECT_DOUBLE_EQ(p.corpus.unit_weight[0], BlockWeight(deflated0, 2));
  // A short shared run does not join sources.
  const std::string line = Noise(400, 5);
  const Prepared q({line + Noise(300, 6), line + Noise(300, 7)});
  EXPECT_EQ(q.corpus.doc_source, (std::vector<std::int32_t>{0, 1}));
}

TEST(SourceRules, WithGroupsSupportCountsGroupsAndHeaderDumpsApart) {
  const std::string dump = "HTTP/1.1 200 OK\r\nA: b\r\n\r\nHTTP/1.1 200 OK\r\nC: d\r\n\r\n";
  const Prepared p({Noise(500, 1), Noise(500, 2), dump, Noise(500, 3), dump + "E: f"}, {7, 7, 7, 9, 9});
  // Group 7 is one key, its dump another; group 9 likewise.
  EXPECT_EQ(p.corpus.doc_key[0], p.corpus.doc_key[1]);
  EXPECT_NE(p.corpus.doc_key[0], p.corpus.doc_key[2]);
  EXPECT_NE(p.corpus.doc_key[3], p.corpus.doc_key[4]);
  EXPECT_EQ(p.corpus.keys, 4);
  EXPECT_EQ(p.corpus.min_support, kMinGroups);
  EXPECT_TRUE(p.corpus.capped);
}

TEST(SourceRules, KeyGainsCapEachGroupAtTwiceTheRunnerUp) {
  // Six documents, one per group; position p of each names its group.
  std::vector<std::string> documents;
  for (int d = 0; d < 6; ++d) documents.push_back(Noise(100, static_cast<std::uint32_t>(d)));
  const Prepared grouped(documents, {0, 1, 2, 3, 4, 5});
  KeyGains gains(grouped.corpus);
  auto at = [&](int d) { return grouped.corpus.unit_begin[static_cast<std::size_t>(d)]; };
  gains.Add(at(0), 8.0);
  gains.Add(at(0), 2.0);  // group 0: 10
  gains.Add(at(1), 3.0);
  gains.Add(at(2), 1.0);
  EXPECT_DOUBLE_EQ(gains.Take(), 6.0 + 3.0 + 1.0);
  // Take starts over; one group alone has no runner-up and counts nothing.
  gains.Add(at(3), 50.0);
  EXPECT_DOUBLE_EQ(gains.Take(), 0.0);
  // Without groups the sum is plain, losses included.
  const Prepared plain(documents);
  KeyGains sum(plain.corpus);
  sum.Add(at(0), 50.0);
  sum.Add(at(1), -5.0);
  EXPECT_DOUBLE_EQ(sum.Take(), 45.0);
  EXPECT_DOUBLE_EQ(sum.Take(), 0.0);
}

TEST(DataFilter, TellsValuesFromText) {
  for (const char* data : {"2016112208, 4398", "12:30", "at 09:36:23 GMT", "Feb 2017", "cafe05beef2a9d", "deadbeef12cafe",
                           "oqVuAfXRKap7fdgcCY5uykM6", "R9GqQ8K/uxy9rx7HNQlG"}) {
    EXPECT_TRUE(LooksLikeData(data)) << data;
  }
  for (const char* text : {"Content-Type: text/html", "Expires: Thu, 01 Jan 1970 00:00:00 GMT", "max-age=31536000",
                           "addEventListener", "getElementsByClassName", "deadbeefcafe", "background-color:#fff",
                           "Month 2017 Feb", "width=device-width"}) {
    EXPECT_FALSE(LooksLikeData(text)) << text;
  }
}

TEST(CandidateFinder, KeepsRepeatsOfSeveralSourcesThatDoNotExtendLeft) {
  const std::string phrase = "<link rel=\"stylesheet\" href=\"/s.css\">";
  const std::string own = "<div class=\"only-mine\">";
  std::vector<std::string> documents;
  for (std::uint32_t d = 0; d < 4; ++d) {
    std::string doc = Noise(200, d) + "\n" + phrase + "\n" + Noise(200, 10 + d);
    if (d == 0) {
      for (std::uint32_t k = 0; k < 20; ++k) doc += own + Noise(50, 100 + k);
    }
    documents.push_back(doc);
  }
  const Prepared p(documents);
  const std::vector<std::string> texts = p.CandidateTexts();
  ASSERT_FALSE(texts.empty());
  // The shared phrase with what all four have around it; not its right part
  // alone, which extends to the left; nothing of one document's own repeat.
  EXPECT_TRUE(Has(texts, "\n" + phrase + "\n"));
  EXPECT_FALSE(Has(texts, phrase.substr(1) + "\n"));
  for (const std::string& t : texts) {
    EXPECT_FALSE(t.size() >= 8 && own.find(t) != std::string::npos) << "chose \"" << t << "\"";
  }
  // In Better order: gains never rise.
  const ProgressCallback none;
  const std::vector<Candidate> found = FindCandidates(p.corpus, p.sa, p.lcp, ProgressMeter(none));
  EXPECT_TRUE(std::is_sorted(found.begin(), found.end(), Better));
  for (const Candidate& c : found) EXPECT_GE(c.gain, kMinTotalGain);
}

}  // namespace
}  // namespace korvan::word_list
