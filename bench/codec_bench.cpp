// Throughput of the block codec against plain zlib, in the same run, on full
// 64511-byte blocks of the corpus (HTML, CSS and JS apart), with the shipped
// word list. After the benchmarks, a summary prints the ratios:
//   pack / deflate-9   PackBlock throughput over compress2(..., 9)
//   unpack / inflate   UnpackBlock throughput over uncompress()
//   size               bytes PackBlock emits over bytes compress2 emits
// (The size here is on blocks the shipped list was trained on; the held-out
// comparison is korvan_bench_word_list.)
//
// The word list: $KORVAN_WORDS, else resources/korvan.lvk of the source tree.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_corpus.h"
#include "wire/word_compress.h"
#include "wire/word_list.h"

namespace {

struct Blocks {
  std::vector<std::string> raw;
  std::vector<std::vector<std::uint8_t>> deflated;  // compress2 level 9
  std::vector<std::vector<std::uint8_t>> packed;    // PackBlock
  std::vector<std::uint8_t> flags;
  std::vector<std::uint8_t> escapes;
  std::size_t raw_bytes = 0;
};

korvan::WordListPtr g_words;
std::map<std::string, Blocks> g_blocks;

std::vector<std::uint8_t> Deflate9(const std::string& block) {
  uLongf room = compressBound(static_cast<uLong>(block.size()));
  std::vector<std::uint8_t> out(room);
  compress2(out.data(), &room, reinterpret_cast<const Bytef*>(block.data()), static_cast<uLong>(block.size()), 9);
  out.resize(room);
  return out;
}

void BM_Deflate9(benchmark::State& state, const std::string& kind) {
  const Blocks& b = g_blocks.at(kind);
  std::vector<Bytef> out(compressBound(korvan::kMaxRawBlock));
  for (auto _ : state) {
    for (const std::string& block : b.raw) {
      uLongf room = out.size();
      compress2(out.data(), &room, reinterpret_cast<const Bytef*>(block.data()), static_cast<uLong>(block.size()), 9);
      benchmark::DoNotOptimize(room);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * b.raw_bytes));
}

void BM_PackBlock(benchmark::State& state, const std::string& kind) {
  const Blocks& b = g_blocks.at(kind);
  std::vector<std::uint8_t> out(korvan::kMaxRawBlock + 1);
  for (auto _ : state) {
    for (const std::string& block : b.raw) {
      std::uint8_t flags = korvan::tfDeflate | korvan::tfWords;
      std::uint8_t escape = korvan::kDefaultEscape;
      benchmark::DoNotOptimize(korvan::WordCompress::PackBlock(
          *g_words, reinterpret_cast<const std::uint8_t*>(block.data()), block.size(), flags, escape, out.data()));
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * b.raw_bytes));
}

void BM_Inflate(benchmark::State& state, const std::string& kind) {
  const Blocks& b = g_blocks.at(kind);
  std::vector<Bytef> out(korvan::kMaxUnpackedBlock + 1);
  for (auto _ : state) {
    for (const auto& packed : b.deflated) {
      uLongf room = out.size();
      uncompress(out.data(), &room, packed.data(), static_cast<uLong>(packed.size()));
      benchmark::DoNotOptimize(room);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * b.raw_bytes));
}

void BM_UnpackBlock(benchmark::State& state, const std::string& kind) {
  const Blocks& b = g_blocks.at(kind);
  std::vector<std::uint8_t> out(korvan::kMaxUnpackedBlock + 1);
  for (auto _ : state) {
    for (std::size_t i = 0; i < b.packed.size(); ++i) {
      benchmark::DoNotOptimize(korvan::WordCompress::UnpackBlock(*g_words, b.packed[i].data(), b.escapes[i],
                                                                 b.flags[i], b.packed[i].size(), out.data()));
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * b.raw_bytes));
}

// Keeps the throughput of every run for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) throughput[run.benchmark_name()] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> throughput;
};

bool Prepare() {
  const auto root = korvan::bench::FindCorpus();
  if (!root) {
    std::cout << "corpus not found (set KORVAN_CORPUS or place it at ../shared/corpus): benchmarks skipped\n";
    return false;
  }
  const char* env = std::getenv("KORVAN_WORDS");
  const std::string words_path = env != nullptr && *env != '\0' ? env : KORVAN_SOURCE_DIR "/resources/korvan.lvk";
  std::string error;
  g_words = korvan::LoadWordList(words_path, &error);
  if (!g_words) {
    std::cout << "word list " << words_path << ": " << error << ": benchmarks skipped\n";
    return false;
  }
  const auto files = korvan::bench::LoadCorpus(*root);
  for (const char* kind : {"html", "css", "js"}) {
    Blocks b;
    b.raw = korvan::bench::FullBlocks(files, kind);
    if (b.raw.empty()) continue;
    std::vector<std::uint8_t> out(korvan::kMaxRawBlock + 1);
    for (const std::string& block : b.raw) {
      b.raw_bytes += block.size();
      b.deflated.push_back(Deflate9(block));
      std::uint8_t flags = korvan::tfDeflate | korvan::tfWords;
      std::uint8_t escape = korvan::kDefaultEscape;
      const std::size_t n = korvan::WordCompress::PackBlock(
          *g_words, reinterpret_cast<const std::uint8_t*>(block.data()), block.size(), flags, escape, out.data());
      b.packed.emplace_back(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
      b.flags.push_back(flags);
      b.escapes.push_back(escape);
    }
    g_blocks.emplace(kind, std::move(b));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!Prepare()) return 0;
  for (const auto& [kind, blocks] : g_blocks) {
    benchmark::RegisterBenchmark(("deflate9/" + kind).c_str(), BM_Deflate9, kind)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("PackBlock/" + kind).c_str(), BM_PackBlock, kind)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("inflate/" + kind).c_str(), BM_Inflate, kind)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("UnpackBlock/" + kind).c_str(), BM_UnpackBlock, kind)->Unit(benchmark::kMillisecond);
  }
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  auto ratio = [&](const std::string& a, const std::string& b) {
    const auto x = reporter.throughput.find(a);
    const auto y = reporter.throughput.find(b);
    return x == reporter.throughput.end() || y == reporter.throughput.end() || y->second == 0 ? 0.0
                                                                                              : x->second / y->second;
  };
  std::printf("\n%-6s %7s %16s %16s %8s\n", "kind", "blocks", "pack/deflate-9", "unpack/inflate", "size");
  for (const auto& [kind, b] : g_blocks) {
    std::size_t deflated = 0, packed = 0;
    for (std::size_t i = 0; i < b.raw.size(); ++i) {
      deflated += std::min(b.deflated[i].size(), b.raw[i].size());
      packed += b.packed[i].size();
    }
    std::printf("%-6s %7zu %16.2f %16.2f %8.3f\n", kind.c_str(), b.raw.size(), ratio("PackBlock/" + kind, "deflate9/" + kind),
                ratio("UnpackBlock/" + kind, "inflate/" + kind), static_cast<double>(packed) / static_cast<double>(deflated));
  }
  std::printf("throughput ratios: at least 0.80 wanted; size: packed / deflate-9 on these blocks\n");
  return 0;
}
