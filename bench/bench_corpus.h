// The sample traffic that the benchmarks measure on: the shared corpus, a
// fixed split of it into a training part and a held-out part, and the block
// categories the size comparison reports.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace korvan::bench {

struct CorpusFile {
  std::string name;   // relative to the corpus folder, e.g. "html/x.html"
  std::string kind;   // its folder: html, css, js, json, headers, gif, jpeg
  std::string group;  // its file-name prefix before the first '-', e.g. "x"
  std::string site;   // the site it comes from (see SiteOf)
  std::string bytes;
  bool held_out = false;
};

// How the corpus is cut into a training part and a held-out part.
enum class Split {
  // Whole sites are held out (kHeldOutSites): no held-out block comes from a
  // site that the training part has seen. The honest measure.
  kBySite,
  // About 30 % of the files, by a hash of the name: pages of one site fall on
  // both sides, so the figures are optimistic. Kept for comparison.
  kByFile,
};

// The corpus folder: $KORVAN_CORPUS when set, else ../shared/corpus beside
// the source tree. Empty when it does not exist.
std::optional<std::filesystem::path> FindCorpus();

// Every file of the corpus below `root` (MANIFEST.tsv and hidden files
// excepted), sorted by name, marked held out or not by `split`. The split
// depends only on the file names, never on the corpus order.
std::vector<CorpusFile> LoadCorpus(const std::filesystem::path& root, Split split = Split::kBySite);

// The file-name prefix before the first '-' of the base name ("html/a-b.html"
// -> "a"); the whole base name when it has no '-'. The same grouping as
// `korvan-codec words build --group-by-prefix`.
std::string GroupOf(const std::string& name);

// The site a file comes from: its group, except for dumps of header blocks
// (the headers folder), which one recording tool made of page loads of
// several sites: there the site is the host the file name records
// ("headers/tool-chrome_www.example.com.txt" -> "example.com").
std::string SiteOf(const std::string& name);

// The sites that Split::kBySite holds out: about 30 % of the text bytes.
extern const char* const kHeldOutSites[];

bool IsHeldOut(const std::string& name, Split split = Split::kBySite);

// The header blocks of a dump of header blocks, each with its empty line.
std::vector<std::string> SplitHeaderBlocks(const std::string& dump);

// One category of the size comparison: blocks as the tunnel would send them.
struct Category {
  std::string name;
  std::vector<std::string> blocks;
};

// From the given files (usually the held-out part):
//   "header"       each single response header block;
//   "resp<=2KiB"   responses of at most 2048 bytes: a header block of the
//                  matching content type followed by the body, cut there;
//   "resp<=16KiB"  the same, at most 16384 bytes;
//   "full:html", "full:css", "full:js"   full 64511-byte blocks of bodies.
// Bodies are the text files (html, css, js, json).
std::vector<Category> MakeCategories(const std::vector<CorpusFile>& files);

// Full 64511-byte blocks of one kind of file ("html", "css", "js"), from all
// files given; when the files of that kind are shorter, their concatenation
// is cut instead.
std::vector<std::string> FullBlocks(const std::vector<CorpusFile>& files, const std::string& kind);

}  // namespace korvan::bench
