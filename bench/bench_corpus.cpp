#include "bench/bench_corpus.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>

#include "wire/frame_format.h"

namespace korvan::bench {
namespace {

std::uint32_t Fnv1a(const std::string& text) {
  std::uint32_t h = 2166136261U;
  for (const char c : text) {
    h ^= static_cast<std::uint8_t>(c);
    h *= 16777619U;
  }
  return h;
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return text;
}

// The body kind a header block announces, or "" when none of ours.
std::string ContentKind(const std::string& header) {
  const std::string lower = Lower(header);
  const std::size_t at = lower.find("\ncontent-type:");
  if (at == std::string::npos) return "";
  const std::string value = lower.substr(at, lower.find('\n', at + 1) - at);
  if (value.find("html") != std::string::npos) return "html";
  if (value.find("css") != std::string::npos) return "css";
  if (value.find("javascript") != std::string::npos) return "js";
  if (value.find("json") != std::string::npos) return "json";
  return "";
}

bool IsBody(const CorpusFile& f) {
  return f.kind == "html" || f.kind == "css" || f.kind == "js" || f.kind == "json";
}

}  // namespace

std::optional<std::filesystem::path> FindCorpus() {
  std::filesystem::path root;
  if (const char* env = std::getenv("KORVAN_CORPUS"); env != nullptr && *env != '\0') {
    root = env;
  } else {
    root = std::filesystem::path(KORVAN_SOURCE_DIR) / ".." / "shared" / "corpus";
  }
  std::error_code ec;
  if (!std::filesystem::is_directory(root, ec)) return std::nullopt;
  return std::filesystem::weakly_canonical(root, ec);
}

// Held out whole: documentation generators and test collections for HTML,
// CSS and JS (about 30 % of the HTML bytes, 21 % of CSS, 47 % of JS, none of
// JSON), and one recorded page load of many servers for header blocks
// (120 of 342 blocks, 33 % of the bytes).
const char* const kHeldOutSites[] = {"deb", "gumbo", "hugo", "hyperledger", "hexo", "csveed", "doxygen", "bbc.com",
                                     nullptr};

std::string GroupOf(const std::string& name) {
  const std::size_t slash = name.rfind('/');
  const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  return base.substr(0, base.find('-'));
}

std::string SiteOf(const std::string& name) {
  if (name.rfind("headers/", 0) != 0) return GroupOf(name);
  // "headers/<group>-<tool>_<tool>_<host>[_<more>].txt": the first part
  // after the group that holds a dot is the host; keep its first two labels
  // after a leading "www.".
  std::string rest = name.substr(name.find('/') + 1);
  rest = rest.substr(rest.find('-') == std::string::npos ? 0 : rest.find('-') + 1);
  if (rest.size() > 4 && rest.compare(rest.size() - 4, 4, ".txt") == 0) rest.resize(rest.size() - 4);
  std::string host = rest;
  for (std::size_t start = 0; start <= rest.size();) {
    const std::size_t end = std::min(rest.find('_', start), rest.size());
    const std::string part = rest.substr(start, end - start);
    if (part.find('.') != std::string::npos) {
      host = part;
      break;
    }
    start = end + 1;
  }
  if (host.rfind("www.", 0) == 0) host = host.substr(4);
  const std::size_t first = host.find('.');
  if (first != std::string::npos) host = host.substr(0, host.find('.', first + 1));
  return host;
}

bool IsHeldOut(const std::string& name, Split split) {
  if (split == Split::kByFile) return Fnv1a(name) % 10 < 3;
  const std::string site = SiteOf(name);
  for (const char* const* s = kHeldOutSites; *s != nullptr; ++s) {
    if (site == *s) return true;
  }
  return false;
}

std::vector<CorpusFile> LoadCorpus(const std::filesystem::path& root, Split split) {
  std::vector<CorpusFile> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().lexically_relative(root).generic_string();
    if (name == "MANIFEST.tsv" || name.front() == '.' || name.find("/.") != std::string::npos) continue;
    CorpusFile f;
    f.name = name;
    f.kind = name.find('/') == std::string::npos ? "" : name.substr(0, name.find('/'));
    f.group = GroupOf(name);
    f.site = SiteOf(name);
    f.bytes = ReadAll(entry.path());
    f.held_out = IsHeldOut(name, split);
    files.push_back(std::move(f));
  }
  std::sort(files.begin(), files.end(), [](const CorpusFile& a, const CorpusFile& b) { return a.name < b.name; });
  return files;
}

std::vector<std::string> SplitHeaderBlocks(const std::string& dump) {
  std::vector<std::string> blocks;
  std::size_t start = 0;
  while (start < dump.size()) {
    const std::size_t end = dump.find("\r\n\r\n", start);
    const std::size_t stop = end == std::string::npos ? dump.size() : end + 4;
    if (stop - start > 4) blocks.push_back(dump.substr(start, stop - start));
    start = stop;
  }
  return blocks;
}

std::vector<std::string> FullBlocks(const std::vector<CorpusFile>& files, const std::string& kind) {
  std::vector<std::string> blocks;
  std::string rest;  // pieces shorter than a block, joined in name order
  for (const CorpusFile& f : files) {
    if (f.kind != kind) continue;
    std::size_t at = 0;
    for (; at + kMaxRawBlock <= f.bytes.size(); at += kMaxRawBlock) blocks.push_back(f.bytes.substr(at, kMaxRawBlock));
    rest += f.bytes.substr(at);
  }
  for (std::size_t at = 0; at + kMaxRawBlock <= rest.size(); at += kMaxRawBlock) {
    blocks.push_back(rest.substr(at, kMaxRawBlock));
  }
  return blocks;
}

std::vector<Category> MakeCategories(const std::vector<CorpusFile>& files) {
  Category headers{"header", {}};
  std::map<std::string, std::vector<std::string>> headers_by_kind;
  for (const CorpusFile& f : files) {
    if (f.kind != "headers") continue;
    for (std::string& block : SplitHeaderBlocks(f.bytes)) {
      headers_by_kind[ContentKind(block)].push_back(block);
      headers.blocks.push_back(std::move(block));
    }
  }
  std::vector<Category> categories;
  categories.push_back(headers);
  for (const std::size_t limit : {std::size_t{2048}, std::size_t{16384}}) {
    Category responses{limit == 2048 ? "resp<=2KiB" : "resp<=16KiB", {}};
    std::map<std::string, std::size_t> next;  // the header to use next, per kind
    for (const CorpusFile& f : files) {
      if (!IsBody(f) || f.bytes.empty()) continue;
      const auto& pool = headers_by_kind[f.kind].empty() ? headers.blocks : headers_by_kind[f.kind];
      std::string header = pool.empty() ? std::string() : pool[next[f.kind]++ % pool.size()];
      if (header.size() >= limit) header.clear();
      std::string block = header + f.bytes.substr(0, limit - header.size());
      responses.blocks.push_back(std::move(block));
    }
    categories.push_back(std::move(responses));
  }
  for (const char* kind : {"html", "css", "js"}) {
    categories.push_back({std::string("full:") + kind, FullBlocks(files, kind)});
  }
  return categories;
}

}  // namespace korvan::bench
