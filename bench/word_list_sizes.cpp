// Packed size with a word list against deflate level 9 alone, on the held-out
// part of the corpus, by block category. The list is built from the training
// part in this run (or read with --words), so no measured block was seen
// while choosing the words.
//
//   korvan_bench_word_list [--words FILE] [--save FILE] [--count N] [--show-words]
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "bench/bench_corpus.h"
#include "tunnel/word_compress.h"
#include "tunnel/word_list.h"
#include "tunnel/word_list_builder.h"

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
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--words" && i + 1 < argc) {
      words_file = argv[++i];
    } else if (arg == "--save" && i + 1 < argc) {
      save_file = argv[++i];
    } else if (arg == "--count" && i + 1 < argc) {
      count = std::stoul(argv[++i]);
    } else if (arg == "--show-words") {
      show_words = true;
    } else {
      std::cerr << "usage: " << argv[0] << " [--words FILE] [--save FILE] [--count N] [--show-words]\n";
      return 2;
    }
  }
  const auto root = korvan::bench::FindCorpus();
  if (!root) {
    std::cout << "corpus not found (set KORVAN_CORPUS or place it at ../shared/corpus): size comparison skipped\n";
    return 0;
  }
  const std::vector<korvan::bench::CorpusFile> files = korvan::bench::LoadCorpus(*root);
  std::vector<std::string> training;
  std::vector<korvan::bench::CorpusFile> held_out;
  std::size_t training_bytes = 0;
  for (const auto& f : files) {
    if (f.held_out) {
      held_out.push_back(f);
    } else {
      training_bytes += f.bytes.size();
      training.push_back(f.bytes);
    }
  }
  std::cout << "corpus " << root->string() << ": " << files.size() << " files, " << training.size()
            << " for training (" << training_bytes << " bytes), " << held_out.size() << " held out\n";

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
        training, 1, count, [](std::string_view stage, std::size_t done, std::size_t total) {
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
