// Packed size with a word list against deflate level 9 alone, on the held-out
// part of the corpus, by block category. The list is built from the training
// part in this run (or read with --words), so no measured block was seen
// while choosing the words.
//
//   korvan_bench_word_list [--split site|file] [--no-groups] [--words FILE]
//                          [--save FILE] [--count N] [--show-words]
//
// --split site (the default) holds out whole sites, so the figures tell what
// a user browsing other sites gets; --split file holds out files by a hash
// of the name (optimistic: pages of one site on both sides). The list is
// built with each file's name prefix as its group, as
// `korvan-codec words build --group-by-prefix` does; --no-groups builds it
// without.
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_corpus.h"
#include "wire/word_compress.h"
#include "wire/word_list.h"
#include "tools/word_list/word_list_builder.h"

namespace {

std::size_t Deflate9(const std::string& block) {
  uLongf room = compressBound(static_cast<uLong>(block.size()));
  std::vector<Bytef> out(room);
  if (compress2(out.data(), &room, reinterpret_cast<const Bytef*>(block.data()), static_cast<uLong>(block.size()), 9) != Z_OK) {
    return block.size();
  }
  // The tunnel sends a block raw when deflate does not shrink it.
  return std::min<std::size_t>(room, block.size());
}

std::size_t Packed(const korvan::WordList& words, const std::string& block, std::vector<std::uint8_t>& out,
                   std::vector<std::uint8_t>& check) {
  std::uint8_t flags = korvan::tfDeflate | korvan::tfWords;
  std::uint8_t escape = korvan::kDefaultEscape;
  const auto* source = reinterpret_cast<const std::uint8_t*>(block.data());
  const std::size_t length = korvan::WordCompress::PackBlock(words, source, block.size(), flags, escape, out.data());
  const int back = korvan::WordCompress::UnpackBlock(words, out.data(), escape, flags, length, check.data());
  if (back != static_cast<int>(block.size()) || std::memcmp(check.data(), block.data(), block.size()) != 0) {
    std::cerr << "round trip failed on a block of " << block.size() << " bytes\n";
    std::exit(1);
  }
  return length;
}

}  // namespace

int main(int argc, char** argv) {
  std::string words_file;
  std::string save_file;
  std::size_t count = korvan::WordList::kMaxWords;
  bool show_words = false;
  bool use_groups = true;
  korvan::bench::Split split = korvan::bench::Split::kBySite;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--split" && i + 1 < argc && (std::strcmp(argv[i + 1], "site") == 0 || std::strcmp(argv[i + 1], "file") == 0)) {
      split = std::strcmp(argv[++i], "site") == 0 ? korvan::bench::Split::kBySite : korvan::bench::Split::kByFile;
    } else if (arg == "--no-groups") {
      use_groups = false;
    } else if (arg == "--words" && i + 1 < argc) {
      words_file = argv[++i];
    } else if (arg == "--save" && i + 1 < argc) {
      save_file = argv[++i];
    } else if (arg == "--count" && i + 1 < argc) {
      count = std::stoul(argv[++i]);
    } else if (arg == "--show-words") {
      show_words = true;
    } else {
      std::cerr << "usage: " << argv[0]
                << " [--split site|file] [--no-groups] [--words FILE] [--save FILE] [--count N] [--show-words]\n";
      return 2;
    }
  }
  const auto root = korvan::bench::FindCorpus();
  if (!root) {
    std::cout << "corpus not found (set KORVAN_CORPUS or place it at ../shared/corpus): size comparison skipped\n";
    return 0;
  }
  const std::vector<korvan::bench::CorpusFile> files = korvan::bench::LoadCorpus(*root, split);
  std::vector<std::string> training;
  std::vector<std::int32_t> training_groups;
  std::map<std::string, std::int32_t> group_ids;
  std::vector<korvan::bench::CorpusFile> held_out;
  std::size_t training_bytes = 0;
  std::map<std::string, std::pair<std::size_t, std::size_t>> bytes_by_kind;  // held out, all
  for (const auto& f : files) {
    auto& kind_bytes = bytes_by_kind[f.kind];
    kind_bytes.second += f.bytes.size();
    if (f.held_out) {
      kind_bytes.first += f.bytes.size();
      held_out.push_back(f);
    } else {
      training_bytes += f.bytes.size();
      training.push_back(f.bytes);
      training_groups.push_back(group_ids.emplace(f.group, static_cast<std::int32_t>(group_ids.size())).first->second);
    }
  }
  std::cout << "corpus " << root->string() << ": " << files.size() << " files, " << training.size()
            << " for training (" << training_bytes << " bytes), " << held_out.size() << " held out ("
            << (split == korvan::bench::Split::kBySite ? "whole sites" : "files by name hash") << ")\n";
  std::cout << "held-out share of the bytes:";
  for (const auto& [kind, bytes] : bytes_by_kind) {
    std::printf(" %s %.0f%%", kind.c_str(), bytes.second == 0 ? 0.0 : 100.0 * static_cast<double>(bytes.first) / static_cast<double>(bytes.second));
  }
  std::cout << "\n";
  if (!use_groups) training_groups.clear();

  korvan::WordListPtr words;
  if (!words_file.empty()) {
    std::string error;
    words = korvan::LoadWordList(words_file, &error);
    if (!words) {
      std::cerr << "word list " << words_file << ": " << error << "\n";
      return 1;
    }
  } else {
    words = std::make_shared<const korvan::WordList>(korvan::BuildWordList(
        training, training_groups, 1, count, [](std::string_view stage, std::size_t done, std::size_t total) {
          std::cerr << "\r" << stage << " " << done << "/" << total << "        " << std::flush;
        }));
    std::cerr << "\n";
  }
  if (!save_file.empty()) {
    const auto bytes = korvan::SerializeWordListFile(*words);
    std::ofstream(save_file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  if (show_words) {
    for (std::size_t i = 0; i < words->size(); ++i) {
      std::string shown;
      for (const char c : words->word(i)) {
        if (c == '\r') shown += "\\r";
        else if (c == '\n') shown += "\\n";
        else if (c == '\t') shown += "\\t";
        else shown += c;
      }
      std::cout << i << "\t" << shown << "\n";
    }
  }

  std::vector<std::uint8_t> out(korvan::kMaxRawBlock + 1);
  std::vector<std::uint8_t> check(korvan::kMaxUnpackedBlock);
  std::printf("%-14s %7s %12s %12s %12s %8s\n", "held-out", "blocks", "raw", "deflate-9", "packed", "ratio");
  for (const auto& category : korvan::bench::MakeCategories(held_out)) {
    std::size_t raw = 0, deflated = 0, packed = 0;
    for (const std::string& block : category.blocks) {
      if (block.empty() || block.size() > korvan::kMaxRawBlock) continue;
      raw += block.size();
      deflated += Deflate9(block);
      packed += Packed(*words, block, out, check);
    }
    std::printf("%-14s %7zu %12zu %12zu %12zu %8.3f\n", category.name.c_str(), category.blocks.size(), raw, deflated,
                packed, deflated == 0 ? 1.0 : static_cast<double>(packed) / static_cast<double>(deflated));
  }
  std::printf("ratio = packed size with the word list / deflate level 9 alone (lower is better)\n");
  return 0;
}
