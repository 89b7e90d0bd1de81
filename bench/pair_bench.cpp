// The whole service measured on loopback: korvan --service in front of
// korvan-server, an HTTP origin, and baselines run in the same pass:
//   bytes       the bytes on the client's link for fetching the whole corpus,
//               per kind: KORVAN's tunnel (both directions, counted by a
//               relay between client and server) against the origin's own
//               gzip -9 fetched directly and against Ziproxy; the fetcher
//               asks for gzip as a browser does. Text bodies are checked.
//   latency     the median of a small kept-alive GET through the pair,
//               directly and through Squid;
//   throughput  one large compressible download through the pair and
//               directly;
//   many        200 simultaneous downloads through the pair: the time, and
//               the resident memory per connection of server and client;
//   gif         the corpus's GIFs through Ziproxy and through the pair at GIF
//               levels 15, 7 and 0: bytes on the link (level 7 at most
//               Ziproxy's).
//   korvan_bench_pair [--quick] [--only bytes|latency|throughput|many|gif]
//                     [--jpeg-level N] [--gif-level N] [--filter HEX] [--deflate-level N]
// --jpeg-level, --gif-level and --filter set the client's picture levels and
// filter word; the bytes measure then runs KORVAN with the defaults and again
// with those. The corpus: $KORVAN_CORPUS or ../shared/corpus (the bytes
// measure is skipped without it; the others use generated markup).
// --deflate-level N starts korvan-server with that level for every measure.
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_corpus.h"
#include "bench/pair_bench_net.h"
#include "bench/pair_bench_parts.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using korvan::bench::HttpAnswer;
using korvan::bench::HttpClient;
using SteadyClock = std::chrono::steady_clock;

struct Options {
  bool quick = false;
  std::string only;
  korvan::bench::ClientSettings client;  // the client's defaults
  bool custom_client = false;            // a level or the filter was given
  int latency_samples = 500;
  std::uint64_t download_bytes = 100ull << 20;
  int download_runs = 2;
  int many = 200;
  std::uint64_t many_bytes = 2ull << 20;
};

fs::path BinDir() { return KORVAN_BIN_DIR; }

double Seconds(SteadyClock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Thousands(std::uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string Ratio(double a, double b) {
  if (a <= 0 || b <= 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", a / b);
  return text;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string GetRequest(const std::string& url, bool absolute, bool gzip) {
  // http://127.0.0.1:PORT/path: the host part and the path.
  const std::size_t slash = url.find('/', 7);
  const std::string host = url.substr(7, slash - 7);
  return "GET " + (absolute ? url : url.substr(slash)) + " HTTP/1.1\r\nHost: " + host +
         "\r\nUser-Agent: korvan-bench\r\nAccept: */*\r\n" + (gzip ? "Accept-Encoding: gzip\r\n" : "") + "\r\n";
}

// ---- Data -------------------------------------------------------------------

const char* ContentType(const std::string& kind) {
  if (kind == "html") return "text/html; charset=utf-8";
  if (kind == "css") return "text/css";
  if (kind == "js") return "application/javascript";
  if (kind == "json") return "application/json";
  if (kind == "gif") return "image/gif";
  if (kind == "jpeg") return "image/jpeg";
  return nullptr;
}

bool IsText(const std::string& kind) { return kind == "html" || kind == "css" || kind == "js" || kind == "json"; }

const std::vector<std::string> kKinds = {"html", "css", "js", "json", "gif", "jpeg"};

std::vector<korvan::bench::Resource> CorpusResources(const std::vector<korvan::bench::CorpusFile>& files) {
  std::vector<korvan::bench::Resource> out;
  for (const auto& f : files) {
    const char* type = ContentType(f.kind);
    if (type == nullptr || f.bytes.empty()) continue;
    out.push_back({f.kind, f.name, type, f.bytes, IsText(f.kind) ? korvan::bench::Gzip(f.bytes) : std::string()});
  }
  return out;
}

// About 1 MB of markup for the large downloads: the corpus's text when it is
// there, else generated markup with varying words and numbers (it packs
// about as well as real pages, far worse than a repeated string would).
std::string Pattern(const std::vector<korvan::bench::CorpusFile>& files) {
  std::string text;
  for (const auto& f : files) {
    if (f.kind == "html" || f.kind == "css" || f.kind == "js") text += f.bytes;
    if (text.size() >= (1u << 20)) break;
  }
  std::mt19937 rng(7);
  const char* words[] = {"news", "item", "price", "link", "title", "author", "comment", "section", "menu", "footer"};
  while (text.size() < (1u << 20)) {
    text += "<div class=\"" + std::string(words[rng() % 10]) + "\"><a href=\"/" + words[rng() % 10] + "/" +
            std::to_string(rng() % 100000) + "\">" + words[rng() % 10] + " " + std::to_string(rng() % 1000) +
            "</a></div>\n";
  }
  text.resize(1u << 20);
  return text;
}

// ---- Bytes ------------------------------------------------------------------

struct KindBytes {
  std::uint64_t original = 0;
  std::uint64_t wire = 0;
  int files = 0;
  int failed = 0;     // no answer, or not 200
  int different = 0;  // a text body that did not come back as it was
};
using Tally = std::map<std::string, KindBytes>;

// Fetches every resource through `port` (a proxy when `absolute`), kind by
// kind, and charges each kind with what `counter` counted meanwhile.
template <typename Counter>
Tally FetchAll(const korvan::bench::Origin& origin, std::uint16_t port, bool absolute, bool gzip, Counter counter,
               std::string& notes, bool html_changes = false) {
  Tally tally;
  HttpClient client(port);
  const auto& resources = origin.resources();
  for (const std::string& kind : kKinds) {
    KindBytes& k = tally[kind];
    const std::uint64_t before = counter();
    for (std::size_t i = 0; i < resources.size(); ++i) {
      const auto& r = resources[i];
      if (r.kind != kind) continue;
      ++k.files;
      k.original += r.body.size();
      HttpAnswer answer;
      std::string error;
      if (!client.Exchange(GetRequest(origin.Url("/r/" + std::to_string(i)), absolute, gzip), true, answer, error) ||
          answer.status != 200) {
        if (++k.failed <= 3)
          notes += "  " + r.name + ": " + (error.empty() ? "status " + std::to_string(answer.status) : error) + "\n";
        continue;
      }
      if (!IsText(kind) || (html_changes && kind == "html")) continue;
      std::string body = answer.body;
      if (answer.Field("content-encoding").find("gzip") != std::string::npos) {
        if (!korvan::bench::Gunzip(answer.body, body)) body = "<not gzip>";
      }
      if (body != r.body && ++k.different <= 3) {
        notes += "  " + r.name + ": body differs (" + std::to_string(body.size()) + " bytes, not " +
                 std::to_string(r.body.size()) + ")\n";
      }
    }
    k.wire = counter() - before;
  }
  return tally;
}

struct Column {
  std::string name;
  Tally tally;
  std::string skipped;  // why there are no figures
};

void PrintBytesTable(const std::vector<Column>& columns) {
  const auto width = [](const Column& c) { return static_cast<int>(std::max<std::size_t>(15, c.name.size())); };
  std::printf("\n%-6s %6s %13s", "kind", "files", "original");
  for (const Column& c : columns) std::printf(" %*s", width(c), c.name.c_str());
  std::printf(" %13s %15s\n", "KORVAN/gzip", "KORVAN/Ziproxy");
  std::vector<std::string> kinds = kKinds;
  kinds.push_back("total");
  for (const std::string& kind : kinds) {
    const auto total_of = [&](const Tally& t) {
      KindBytes sum;
      for (const auto& [k, v] : t) {
        if (kind != "total" && k != kind) continue;
        sum.original += v.original;
        sum.wire += v.wire;
        sum.files += v.files;
        sum.failed += v.failed;
        sum.different += v.different;
      }
      return sum;
    };
    const KindBytes base = total_of(columns.front().tally);
    std::printf("%-6s %6d %13s", kind.c_str(), base.files, Thousands(base.original).c_str());
    double gzip = 0, ziproxy = 0, korvan = 0;
    for (const Column& c : columns) {
      if (!c.skipped.empty()) {
        std::printf(" %*s", width(c), "skipped");
        continue;
      }
      const KindBytes k = total_of(c.tally);
      std::string cell = Thousands(k.wire);
      if (k.failed > 0 || k.different > 0) cell += "!";
      std::printf(" %*s", width(c), cell.c_str());
      if (c.name == "gzip-9") gzip = static_cast<double>(k.wire);
      if (c.name == "Ziproxy") ziproxy = static_cast<double>(k.wire);
      if (c.name == "KORVAN") korvan = static_cast<double>(k.wire);
    }
    std::printf(" %13s %15s\n", Ratio(korvan, gzip).c_str(), Ratio(korvan, ziproxy).c_str());
  }
  std::printf(
      "(bytes on the link: TCP payload in both directions, HTTP heads and bodies or tunnel frames; "
      "! = some fetches failed or a text body differed)\n");
  for (const Column& c : columns) {
    if (!c.skipped.empty()) std::printf("%s: skipped: %s\n", c.name.c_str(), c.skipped.c_str());
  }
}

Column KorvanColumn(const std::string& name, const korvan::bench::Origin& origin,
                    const korvan::bench::ClientSettings& settings, bool gzip) {
  std::printf("bytes: %s ...\n", name.c_str());
  Column c{name, {}, {}};
  korvan::bench::KorvanPair pair(BinDir(), settings, true);
  std::string notes;
  // With HTML optimisation asked for (the _HTMLOptimization box), pages come
  // back changed on purpose.
  const bool html_changes = (settings.filter_word & 0x4000) != 0;
  c.tally = FetchAll(
      origin, pair.http_port(), true, gzip, [&] { return pair.tunnel()->total(); }, notes, html_changes);
  if (html_changes) std::printf("%s: HTML optimisation on: pages are not compared\n", name.c_str());
  if (!notes.empty()) std::printf("%s: problems:\n%s", name.c_str(), notes.c_str());
  return c;
}

void MeasureBytes(const Options& options) {
  const auto root = korvan::bench::FindCorpus();
  if (!root) {
    std::printf("bytes: skipped: no corpus (set KORVAN_CORPUS or place it in ../shared/corpus)\n");
    return;
  }
  const korvan::bench::Origin origin(CorpusResources(korvan::bench::LoadCorpus(*root)), "");
  std::printf("bytes: %zu files of the corpus\n", origin.resources().size());
  std::vector<Column> columns;

  {
    std::printf("bytes: gzip-9 ...\n");
    korvan::bench::CountingRelay relay(origin.port());
    std::string notes;
    columns.push_back({"gzip-9",
                       FetchAll(
                           origin, relay.port(), false, true, [&] { return relay.total(); }, notes),
                       {}});
    if (!notes.empty()) std::printf("gzip-9: problems:\n%s", notes.c_str());
  }
  if (const auto ziproxy = korvan::test::FindProgram("ziproxy")) {
    std::printf("bytes: Ziproxy ...\n");
    try {
      korvan::bench::BaselineProxy proxy(korvan::bench::BaselineProxy::Kind::kZiproxy, *ziproxy);
      korvan::bench::CountingRelay relay(proxy.port());
      std::string notes;
      columns.push_back({"Ziproxy",
                         FetchAll(
                             origin, relay.port(), true, true, [&] { return relay.total(); }, notes),
                         {}});
      if (!notes.empty()) std::printf("Ziproxy: problems:\n%s", notes.c_str());
    } catch (const std::exception& e) {
      columns.push_back({"Ziproxy", {}, e.what()});
    }
  } else {
    columns.push_back({"Ziproxy", {}, "ziproxy not installed"});
  }
  columns.push_back(KorvanColumn("KORVAN", origin, {}, true));
  // The tunnel's own packing alone: the fetcher does not ask for gzip.
  columns.push_back(KorvanColumn("KORVAN no-gzip", origin, {}, false));
  if (options.custom_client) {
    const auto& s = options.client;
    char name[48];
    std::snprintf(name, sizeof name, "KORVAN j%d g%d f%04x", s.jpeg_level, s.gif_level, s.filter_word);
    columns.push_back(KorvanColumn(name, origin, s, true));
  }
  PrintBytesTable(columns);
}

// ---- GIF levels -------------------------------------------------------------

// The corpus's GIFs alone, through Ziproxy and through KORVAN at GIF levels
// 15 (the default: left as they are), 7 and 0: the bytes on the link, and
// whether every answer is still a GIF. Target: level 7 at most Ziproxy's
// bytes.
void MeasureGifLevels(const Options& options) {
  const auto root = korvan::bench::FindCorpus();
  if (!root) {
    std::printf("gif: skipped: no corpus (set KORVAN_CORPUS or place it in ../shared/corpus)\n");
    return;
  }
  std::vector<korvan::bench::CorpusFile> gifs;
  for (auto& f : korvan::bench::LoadCorpus(*root)) {
    if (f.kind == "gif") gifs.push_back(std::move(f));
  }
  const korvan::bench::Origin origin(CorpusResources(gifs), "");
  std::printf("gif: %zu GIFs of the corpus\n", origin.resources().size());
  const auto fetch = [&](std::uint16_t port, const std::function<std::uint64_t()>& counter, std::string& notes) {
    KindBytes k;
    HttpClient client(port);
    const std::uint64_t before = counter();
    for (std::size_t i = 0; i < origin.resources().size(); ++i) {
      const auto& r = origin.resources()[i];
      ++k.files;
      k.original += r.body.size();
      HttpAnswer answer;
      std::string error;
      if (!client.Exchange(GetRequest(origin.Url("/r/" + std::to_string(i)), true, false), true, answer, error) ||
          answer.status != 200) {
        if (++k.failed <= 3) notes += "  " + r.name + ": " + (error.empty() ? "status " + std::to_string(answer.status) : error) + "\n";
        continue;
      }
      if (!answer.body.starts_with("GIF8") && ++k.different <= 3) notes += "  " + r.name + ": not a GIF any more\n";
    }
    k.wire = counter() - before;
    return k;
  };
  struct Row {
    std::string name;
    KindBytes bytes;
    std::string skipped;
  };
  std::vector<Row> rows;
  if (const auto ziproxy = korvan::test::FindProgram("ziproxy")) {
    try {
      korvan::bench::BaselineProxy proxy(korvan::bench::BaselineProxy::Kind::kZiproxy, *ziproxy);
      korvan::bench::CountingRelay relay(proxy.port());
      std::string notes;
      rows.push_back({"Ziproxy", fetch(relay.port(), [&] { return relay.total(); }, notes), {}});
      if (!notes.empty()) std::printf("Ziproxy: problems:\n%s", notes.c_str());
    } catch (const std::exception& e) {
      rows.push_back({"Ziproxy", {}, e.what()});
    }
  } else {
    rows.push_back({"Ziproxy", {}, "ziproxy not installed"});
  }
  for (const int level : {15, 7, 0}) {
    korvan::bench::ClientSettings settings = options.client;
    settings.gif_level = level;
    korvan::bench::KorvanPair pair(BinDir(), settings, true);
    std::string notes;
    const std::string name = "KORVAN g" + std::to_string(level);
    std::printf("gif: %s ...\n", name.c_str());
    rows.push_back({name, fetch(pair.http_port(), [&] { return pair.tunnel()->total(); }, notes), {}});
    if (!notes.empty()) std::printf("%s: problems:\n%s", name.c_str(), notes.c_str());
  }
  std::printf("\n%-12s %6s %13s %13s %9s\n", "gif", "files", "original", "on the link", "/Ziproxy");
  const double ziproxy = rows.front().skipped.empty() ? static_cast<double>(rows.front().bytes.wire) : 0;
  for (const Row& r : rows) {
    if (!r.skipped.empty()) {
      std::printf("%-12s skipped: %s\n", r.name.c_str(), r.skipped.c_str());
      continue;
    }
    std::string cell = Thousands(r.bytes.wire);
    if (r.bytes.failed > 0 || r.bytes.different > 0) cell += "!";
    std::printf("%-12s %6d %13s %13s %9s%s\n", r.name.c_str(), r.bytes.files, Thousands(r.bytes.original).c_str(),
                cell.c_str(), Ratio(static_cast<double>(r.bytes.wire), ziproxy).c_str(),
                r.name == "KORVAN g7" && ziproxy > 0
                    ? (static_cast<double>(r.bytes.wire) <= ziproxy ? "  (target <= 1: met)" : "  (target <= 1: MISSED)")
                    : "");
  }
  std::printf("(! = some fetches failed or an answer was no GIF)\n");
}

// ---- Latency ----------------------------------------------------------------

// The median time of a GET of /small on one kept connection to `port`, in
// microseconds; -1 when a request failed.
double MedianGet(const korvan::bench::Origin& origin, std::uint16_t port, bool absolute, int samples) {
  HttpClient client(port);
  const std::string request = GetRequest(origin.Url("/small"), absolute, false);
  std::vector<double> times;
  for (int i = -20; i < samples; ++i) {  // 20 to warm up
    HttpAnswer answer;
    std::string error;
    const auto start = SteadyClock::now();
    if (!client.Exchange(request, true, answer, error) || answer.status != 200 || answer.body.size() != 1024) {
      std::printf("latency: request failed: %s (status %d)\n", error.c_str(), answer.status);
      return -1;
    }
    if (i >= 0) times.push_back(Seconds(SteadyClock::now() - start) * 1e6);
  }
  if (client.connects() > 1) std::printf("latency: %d connections were needed, not one\n", client.connects());
  return Median(times);
}

void MeasureLatency(const Options& options) {
  const korvan::bench::Origin origin({}, Pattern({}));
  const double direct = MedianGet(origin, origin.port(), false, options.latency_samples);
  double pair_us = -1;
  {
    korvan::bench::KorvanPair pair(BinDir(), options.client, false);
    pair_us = MedianGet(origin, pair.http_port(), true, options.latency_samples);
  }
  double squid_us = -1;
  std::string squid_note;
  if (const auto squid = korvan::test::FindProgram("squid")) {
    try {
      korvan::bench::BaselineProxy proxy(korvan::bench::BaselineProxy::Kind::kSquid, *squid);
      squid_us = MedianGet(origin, proxy.port(), true, options.latency_samples);
    } catch (const std::exception& e) {
      squid_note = e.what();
    }
  } else {
    squid_note = "squid not installed";
  }
  std::printf("\nlatency: GET of 1 KiB on a kept connection, median of %d\n", options.latency_samples);
  std::printf(
      "  direct %.0f us, through the pair %.0f us, through Squid %s\n", direct, pair_us,
      squid_us > 0 ? (std::to_string(static_cast<int>(squid_us)) + " us").c_str() : ("skipped: " + squid_note).c_str());
  std::printf("  pair/direct %s, pair/Squid %s, the pair adds %.0f us to a direct fetch",
              Ratio(pair_us, direct).c_str(), Ratio(pair_us, squid_us).c_str(), pair_us - direct);
  if (squid_us > 0) std::printf(" (Squid adds %.0f us)", squid_us - direct);
  std::printf("\n");
}

// ---- Throughput -------------------------------------------------------------

// The best rate of `runs` downloads of /big/N through `port`, in MB/s.
double Download(const korvan::bench::Origin& origin, std::uint16_t port, bool absolute, std::uint64_t size, int runs) {
  double best = 0;
  for (int run = 0; run < runs; ++run) {
    HttpClient client(port);
    HttpAnswer answer;
    std::string error;
    const auto start = SteadyClock::now();
    if (!client.Exchange(GetRequest(origin.Url("/big/" + std::to_string(size)), absolute, false), false, answer,
                         error) ||
        answer.body_bytes != size) {
      std::printf("throughput: download failed: %s (%llu of %llu bytes)\n", error.c_str(),
                  static_cast<unsigned long long>(answer.body_bytes), static_cast<unsigned long long>(size));
      return 0;
    }
    best = std::max(best, static_cast<double>(size) / 1e6 / Seconds(SteadyClock::now() - start));
  }
  return best;
}

void MeasureThroughput(const Options& options) {
  const auto root = korvan::bench::FindCorpus();
  const korvan::bench::Origin origin(
      {}, Pattern(root ? korvan::bench::LoadCorpus(*root) : std::vector<korvan::bench::CorpusFile>{}));
  const double direct = Download(origin, origin.port(), false, options.download_bytes, options.download_runs);
  korvan::bench::KorvanPair pair(BinDir(), options.client, false);
  // Where the time goes: the processor time of each end over all runs.
  const double server_cpu = korvan::bench::CpuSeconds(pair.server_pid());
  const double client_cpu = korvan::bench::CpuSeconds(pair.client_pid());
  const auto start = SteadyClock::now();
  const double through = Download(origin, pair.http_port(), true, options.download_bytes, options.download_runs);
  const double wall = Seconds(SteadyClock::now() - start);
  std::printf("\nthroughput: one download of %llu MB of %s markup, best of %d\n",
              static_cast<unsigned long long>(options.download_bytes >> 20), root ? "corpus" : "generated",
              options.download_runs);
  std::printf("  direct %.1f MB/s, through the pair %.1f MB/s, pair/direct %s\n", direct, through,
              Ratio(through, direct).c_str());
  std::printf("  through the pair: server CPU %.0f %%, client CPU %.0f %% of the download time (one core = 100 %%)\n",
              100 * (korvan::bench::CpuSeconds(pair.server_pid()) - server_cpu) / wall,
              100 * (korvan::bench::CpuSeconds(pair.client_pid()) - client_cpu) / wall);
}

// ---- Many downloads ---------------------------------------------------------

void MeasureMany(const Options& options) {
  korvan::bench::Origin origin({}, Pattern({}));
  korvan::bench::KorvanPair pair(BinDir(), options.client, false);
  {  // one request first, so that what the first one sets up counts as idle
    HttpClient warm(pair.http_port());
    HttpAnswer answer;
    std::string error;
    warm.Exchange(GetRequest(origin.Url("/small"), true, false), true, answer, error);
  }
  std::this_thread::sleep_for(500ms);
  const long server_idle = korvan::bench::ResidentKib(pair.server_pid());
  const long client_idle = korvan::bench::ResidentKib(pair.client_pid());

  const int n = options.many;
  std::atomic<int> done{0}, good{0};
  std::vector<std::string> errors(static_cast<std::size_t>(n));
  std::vector<std::thread> fetchers;
  const auto start = SteadyClock::now();
  for (int i = 0; i < n; ++i) {
    fetchers.emplace_back([&, i] {
      HttpClient client(pair.http_port());
      HttpAnswer answer;
      if (client.Exchange(GetRequest(origin.Url("/hold/" + std::to_string(options.many_bytes)), true, false), false,
                          answer, errors[static_cast<std::size_t>(i)]) &&
          answer.body_bytes == options.many_bytes) {
        ++good;
      }
      ++done;
    });
  }
  // Every answer has begun and waits at the origin: all connections are open.
  const auto deadline = SteadyClock::now() + 60s;
  while (origin.held() < n && done.load() == 0 && SteadyClock::now() < deadline) std::this_thread::sleep_for(5ms);
  const int open = origin.held();
  const auto opened = SteadyClock::now();
  std::this_thread::sleep_for(300ms);
  long server_peak = korvan::bench::ResidentKib(pair.server_pid());
  long client_peak = korvan::bench::ResidentKib(pair.client_pid());
  origin.OpenGate();
  while (done.load() < n) {
    server_peak = std::max(server_peak, korvan::bench::ResidentKib(pair.server_pid()));
    client_peak = std::max(client_peak, korvan::bench::ResidentKib(pair.client_pid()));
    std::this_thread::sleep_for(5ms);
  }
  const double total = Seconds(SteadyClock::now() - start);
  const double transfer = Seconds(SteadyClock::now() - opened);
  for (auto& t : fetchers) t.join();
  std::printf("\nmany: %d simultaneous downloads of %llu MB through the pair (%d open at once, %d complete)\n", n,
              static_cast<unsigned long long>(options.many_bytes >> 20), open, good.load());
  for (const std::string& e : errors) {
    if (!e.empty()) {
      std::printf("  first error: %s\n", e.c_str());
      break;
    }
  }
  std::printf("  total %.2f s (%.2f s after all were open), %.1f MB/s together\n", total, transfer,
              static_cast<double>(options.many_bytes) * n / 1e6 / transfer);
  const auto per = [n](long peak, long idle) { return static_cast<double>(peak - idle) / n; };
  std::printf("  server RSS %.1f MB idle, %.1f MB at the peak: %.0f KiB per connection\n", server_idle / 1024.0,
              server_peak / 1024.0, per(server_peak, server_idle));
  std::printf("  client RSS %.1f MB idle, %.1f MB at the peak: %.0f KiB per connection\n", client_idle / 1024.0,
              client_peak / 1024.0, per(client_peak, client_idle));
}

int Usage() {
  std::printf(
      "usage: korvan_bench_pair [--quick] [--only bytes|latency|throughput|many|gif] [--jpeg-level N] "
      "[--gif-level N] [--filter HEX] [--deflate-level N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--quick") {
      options.quick = true;
      options.latency_samples = 200;
      options.download_bytes = 20ull << 20;
      options.download_runs = 1;
      options.many = 50;
    } else if (arg == "--only" && has_value) {
      options.only = argv[++i];
    } else if ((arg == "--jpeg-level" || arg == "--gif-level") && has_value) {
      const int level = std::atoi(argv[++i]);
      if (level < 0 || level > 15) return Usage();
      (arg == "--jpeg-level" ? options.client.jpeg_level : options.client.gif_level) = level;
      options.custom_client = true;
    } else if (arg == "--deflate-level" && has_value) {
      // The server's, for every measure: how its CPU trades against bytes.
      options.client.deflate_level = std::atoi(argv[++i]);
      if (options.client.deflate_level < 1 || options.client.deflate_level > 12) return Usage();
    } else if (arg == "--filter" && has_value) {
      options.client.filter_word = static_cast<std::uint16_t>(std::strtoul(argv[++i], nullptr, 16));
      options.custom_client = true;
    } else {
      return Usage();
    }
  }
  if (!options.only.empty() && options.only != "bytes" && options.only != "latency" && options.only != "throughput" &&
      options.only != "many" && options.only != "gif") {
    return Usage();
  }
  ::signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  for (const char* v : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(v);
  for (const char* program : {"korvan", "korvan-server"}) {
    if (::access((BinDir() / program).c_str(), X_OK) != 0) {
      std::printf("%s not built: service benchmarks skipped\n", (BinDir() / program).c_str());
      return 0;
    }
  }
  korvan::bench::RaiseDescriptorLimit(8192);
  std::printf("korvan --service and korvan-server on loopback%s\n", options.quick ? " (quick)" : "");
  try {
    if (options.only.empty() || options.only == "bytes") MeasureBytes(options);
    if (options.only.empty() || options.only == "latency") MeasureLatency(options);
    if (options.only.empty() || options.only == "throughput") MeasureThroughput(options);
    if (options.only.empty() || options.only == "many") MeasureMany(options);
    if (options.only.empty() || options.only == "gif") MeasureGifLevels(options);
  } catch (const std::exception& e) {
    std::printf("benchmark failed: %s\n", e.what());
    return 1;
  }
  return 0;
}
