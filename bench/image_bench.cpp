// The client's pixel work against plain giflib, in the same run:
//   recompress / giflib   RecompressGifResponse on each corpus GIF (inside a
//                         Content-Length response, shrunk as GIF level 7
//                         asks) over giflib decoding and re-encoding the
//                         same GIF with nothing done in between
//   banners               MakeBannerResponse for all 14 banner sizes, per
//                         second
// GIFs that giflib refuses, or that are larger than a frame can carry, are
// left out of both sides alike.
#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_corpus.h"
#include "response/banner_image.h"
#include "response/banner_response.h"
#include "response/gif_codec.h"
#include "response/gif_response.h"

namespace {

// The most a ckRecompressGif frame carries.
constexpr std::size_t kMaxFramePayload = 65535;

struct Sample {
  std::string name;
  std::string gif;
  std::vector<std::uint8_t> payload;  // kind, target size, the response
};
std::vector<Sample> g_samples;

struct Reader {
  const std::string* bytes;
  std::size_t pos = 0;
};

int ReadMemory(GifFileType* gif, GifByteType* out, int length) {
  auto* r = static_cast<Reader*>(gif->UserData);
  const std::size_t n = std::min(static_cast<std::size_t>(length), r->bytes->size() - r->pos);
  std::memcpy(out, r->bytes->data() + r->pos, n);
  r->pos += n;
  return static_cast<int>(n);
}

int WriteMemory(GifFileType* gif, const GifByteType* bytes, int length) {
  static_cast<std::vector<std::uint8_t>*>(gif->UserData)->insert(
      static_cast<std::vector<std::uint8_t>*>(gif->UserData)->end(), bytes, bytes + length);
  return length;
}

// giflib alone: the whole file read, then every frame written again with
// its own descriptor and colour table. The size of the output.
std::size_t GiflibRoundTrip(const std::string& bytes) {
  Reader reader{&bytes};
  int error = 0;
  GifFileType* in = DGifOpen(&reader, ReadMemory, &error);
  if (in == nullptr) return 0;
  std::size_t written = 0;
  if (DGifSlurp(in) == GIF_OK && in->ImageCount > 0) {
    std::vector<std::uint8_t> out;
    GifFileType* w = EGifOpen(&out, WriteMemory, &error);
    if (w != nullptr) {
      EGifPutScreenDesc(w, in->SWidth, in->SHeight, in->SColorResolution, in->SBackGroundColor, in->SColorMap);
      for (int i = 0; i < in->ImageCount; ++i) {
        const SavedImage& image = in->SavedImages[i];
        const GifImageDesc& d = image.ImageDesc;
        EGifPutImageDesc(w, d.Left, d.Top, d.Width, d.Height, d.Interlace, d.ColorMap);
        for (int row = 0; row < d.Height; ++row) EGifPutLine(w, image.RasterBits + row * d.Width, d.Width);
      }
      EGifCloseFile(w, &error);
      written = out.size();
    }
  }
  DGifCloseFile(in, &error);
  return written;
}

std::vector<std::uint8_t> PayloadFor(const std::string& gif, int width, int height) {
  const auto scale = [](int side) { return std::max(1, (side * 22 + 15) / 30); };  // level 7
  const std::string response =
      "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Length: " + std::to_string(gif.size()) + "\r\n\r\n" + gif;
  std::vector<std::uint8_t> payload = {20};
  for (int side : {scale(width), scale(height)}) {
    payload.push_back(static_cast<std::uint8_t>(side & 0xFF));
    payload.push_back(static_cast<std::uint8_t>(side >> 8));
  }
  payload.insert(payload.end(), response.begin(), response.end());
  return payload;
}

void BM_GiflibDecodeEncode(benchmark::State& state) {
  for (auto _ : state) {
    for (const Sample& s : g_samples) benchmark::DoNotOptimize(GiflibRoundTrip(s.gif));
  }
  state.counters["images"] = static_cast<double>(g_samples.size());
}

void BM_RecompressGifResponse(benchmark::State& state) {
  for (auto _ : state) {
    for (const Sample& s : g_samples) benchmark::DoNotOptimize(korvan::RecompressGifResponse(s.payload).size());
  }
  state.counters["images"] = static_cast<double>(g_samples.size());
}

void BM_MakeBannerResponseAllSizes(benchmark::State& state) {
  const std::time_t now = std::time(nullptr);
  for (auto _ : state) {
    for (int k = 1; k <= 14; ++k) benchmark::DoNotOptimize(korvan::MakeBannerResponse(k, 37.5, ",", now).size());
  }
  state.SetItemsProcessed(state.iterations() * 14);
}

class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      seconds_[r.benchmark_name()] = r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double Seconds(const std::string& name) const {
    const auto it = seconds_.find(name);
    return it == seconds_.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const auto root = korvan::bench::FindCorpus();
  if (!root) {
    std::printf("image bench: skipped: no corpus (set KORVAN_CORPUS or place it in ../shared/corpus)\n");
    return 0;
  }
  std::size_t left_out = 0;
  for (korvan::bench::CorpusFile& f : korvan::bench::LoadCorpus(*root)) {
    if (f.kind != "gif") continue;
    const auto image = korvan::DecodeGif(
        {reinterpret_cast<const std::uint8_t*>(f.bytes.data()), f.bytes.size()}, korvan::GifFrames::kFirst);
    std::vector<std::uint8_t> payload;
    if (image) payload = PayloadFor(f.bytes, image->width, image->height);
    if (!image || payload.size() > kMaxFramePayload || GiflibRoundTrip(f.bytes) == 0) {
      ++left_out;
      continue;
    }
    g_samples.push_back({f.name, std::move(f.bytes), std::move(payload)});
  }
  std::printf("image bench: %zu corpus GIFs (%zu left out: refused, or too large for one frame)\n",
              g_samples.size(), left_out);
  if (g_samples.empty()) return 0;

  benchmark::RegisterBenchmark("GiflibDecodeEncode", BM_GiflibDecodeEncode)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("RecompressGifResponse", BM_RecompressGifResponse)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("MakeBannerResponse/all14", BM_MakeBannerResponseAllSizes)
      ->Unit(benchmark::kMillisecond);
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);

  const double giflib = collector.Seconds("GiflibDecodeEncode");
  const double recompress = collector.Seconds("RecompressGifResponse");
  const double banners = collector.Seconds("MakeBannerResponse/all14");
  std::printf("\nsummary\n");
  if (giflib > 0) {
    std::printf("  recompress / giflib   %.2f x  (%.2f ms against %.2f ms per image; target at most 3 x)\n",
                recompress / giflib, recompress * 1e3 / static_cast<double>(g_samples.size()),
                giflib * 1e3 / static_cast<double>(g_samples.size()));
  }
  if (banners > 0) std::printf("  banners               %.0f sets of 14 per second\n", 1 / banners);
  return 0;
}
