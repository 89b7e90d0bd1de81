// The pair under load, each figure against the same pair idle in the same run:
//   idle     N connections to the client's HTTP port that send nothing (each
//            holds a worker thread in the client and a tunnel connection to
//            the server): CPU and resident memory of both programs, against
//            the pair with none; and whether the descriptors come back;
//   latency  p50 and p99 of a small kept-alive GET through the pair while M
//            other connections download, each read at a steady pace,
//            against the same GET through the idle pair.
//   korvan_bench_load [--idle N] [--busy M] [--pace BYTES-PER-SECOND] [--samples K] [--quick]
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_sockets.h"
#include "bench/pair_bench_net.h"
#include "bench/pair_bench_parts.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using korvan::bench::HttpAnswer;
using korvan::bench::HttpClient;
using SteadyClock = std::chrono::steady_clock;

struct Options {
  int idle = 2000;
  int busy = 500;
  int pace = 8192;  // bytes per second each busy connection reads
  int samples = 300;
  double window_s = 5;  // how long CPU is watched
};

fs::path BinDir() { return KORVAN_BIN_DIR; }

double Seconds(SteadyClock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Get(std::uint16_t origin_port, const std::string& path) {
  return "GET http://127.0.0.1:" + std::to_string(origin_port) + path + " HTTP/1.1\r\nHost: 127.0.0.1:" +
         std::to_string(origin_port) + "\r\nUser-Agent: korvan-bench\r\n\r\n";
}

int OpenDescriptors(pid_t pid) {
  std::error_code ec;
  int n = 0;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    ++n;
  }
  return n;
}

// CPU of both programs over the window, in per cent of one core.
std::pair<double, double> CpuOver(const korvan::bench::KorvanPair& pair, double seconds) {
  const double server0 = korvan::bench::CpuSeconds(pair.server_pid());
  const double client0 = korvan::bench::CpuSeconds(pair.client_pid());
  const auto start = SteadyClock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double wall = Seconds(SteadyClock::now() - start);
  return {100 * (korvan::bench::CpuSeconds(pair.server_pid()) - server0) / wall,
          100 * (korvan::bench::CpuSeconds(pair.client_pid()) - client0) / wall};
}

// Waits until `condition` holds, at most `seconds`.
template <class Condition>
bool WaitFor(Condition condition, double seconds) {
  const auto end = SteadyClock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (SteadyClock::now() > end) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

std::string Ratio(double value, double base) {
  char text[32];
  if (base <= 0) return "n/a";
  std::snprintf(text, sizeof text, "%.2f x", value / base);
  return text;
}

// 256 KiB of markup that packs about as well as real pages: words drawn
// at random from a small vocabulary. A body of one repeated letter would
// pack so well that the kernel's socket buffers alone held hundreds of
// megabytes of it, and the measure would be of filling them.
std::string MarkupPattern() {
  static const char* const kWords[] = {"the", "proxy", "<a href=\"/", "page", "\">", "</a>", "of", "link", "slow",
                                       "<div class=\"", "item", "\n", "data", "and", "compress", "</div>", "to", "a"};
  std::string text;
  std::uint32_t state = 12345;
  while (text.size() < (256u << 10)) {
    state = state * 1103515245u + 12345u;
    text += kWords[(state >> 16) % (sizeof kWords / sizeof kWords[0])];
    text += static_cast<char>('a' + (state >> 8) % 26);
    text += ' ';
  }
  return text;
}

void MeasureIdle(const Options& options, const korvan::bench::ClientSettings& settings) {
  korvan::bench::KorvanPair pair(BinDir(), settings, false);
  std::this_thread::sleep_for(1s);
  const long server_rss0 = korvan::bench::ResidentKib(pair.server_pid());
  const long client_rss0 = korvan::bench::ResidentKib(pair.client_pid());
  const int server_fds0 = OpenDescriptors(pair.server_pid());
  const int client_fds0 = OpenDescriptors(pair.client_pid());
  const auto [server_cpu0, client_cpu0] = CpuOver(pair, options.window_s);

  std::vector<int> sockets;
  const auto start = SteadyClock::now();
  for (int i = 0; i < options.idle; ++i) {
    const int fd = korvan::bench::ConnectLoopback(pair.http_port());
    if (fd < 0) break;
    sockets.push_back(fd);
    // In steps, as browsers open them: a burst of thousands at once is the
    // server's pending limit's business, not this measure's.
    if (i % 25 == 24) std::this_thread::sleep_for(10ms);
  }
  // Every connection holds its accepted socket and its tunnel in the client,
  // and its session in the server.
  const int want = static_cast<int>(sockets.size());
  const bool settled = WaitFor(
      [&] {
        return OpenDescriptors(pair.client_pid()) >= client_fds0 + 2 * want &&
               OpenDescriptors(pair.server_pid()) >= server_fds0 + want;
      },
      60);
  const double open_s = Seconds(SteadyClock::now() - start);
  const auto [server_cpu, client_cpu] = CpuOver(pair, options.window_s);
  const long server_rss = korvan::bench::ResidentKib(pair.server_pid());
  const long client_rss = korvan::bench::ResidentKib(pair.client_pid());

  std::printf("\nidle: %d connections that send nothing (%d opened, %s in %.1f s)\n", options.idle, want,
              settled ? "all carried" : "NOT all carried", open_s);
  std::printf("  CPU, %% of one core over %.0f s:  server %.2f -> %.2f, client %.2f -> %.2f\n", options.window_s,
              server_cpu0, server_cpu, client_cpu0, client_cpu);
  std::printf("  resident memory: server %.1f -> %.1f MB (%.1f KiB per connection), client %.1f -> %.1f MB "
              "(%.1f KiB per connection)\n",
              server_rss0 / 1024.0, server_rss / 1024.0, want ? double(server_rss - server_rss0) / want : 0.0,
              client_rss0 / 1024.0, client_rss / 1024.0, want ? double(client_rss - client_rss0) / want : 0.0);
  std::printf("  descriptors: server %d -> %d, client %d -> %d\n", server_fds0, OpenDescriptors(pair.server_pid()),
              client_fds0, OpenDescriptors(pair.client_pid()));

  for (const int fd : sockets) ::close(fd);
  const bool back = WaitFor(
      [&] {
        return OpenDescriptors(pair.client_pid()) <= client_fds0 + 2 && OpenDescriptors(pair.server_pid()) <= server_fds0 + 2;
      },
      30);
  std::printf("  after closing them: server %d, client %d descriptors (%s)\n", OpenDescriptors(pair.server_pid()),
              OpenDescriptors(pair.client_pid()), back ? "back at the baseline" : "NOT back at the baseline");
}

struct Percentiles {
  double p50_ms = 0;
  double p99_ms = 0;
  int failures = 0;
};

Percentiles SmallRequests(std::uint16_t proxy_port, std::uint16_t origin_port, int samples) {
  HttpClient client(proxy_port);
  std::vector<double> times;
  Percentiles out;
  const std::string request = Get(origin_port, "/small");
  for (int i = 0; i < samples + 10; ++i) {
    HttpAnswer answer;
    std::string error;
    const auto start = SteadyClock::now();
    const bool ok = client.Exchange(request, false, answer, error) && answer.status == 200;
    const double ms = 1000 * Seconds(SteadyClock::now() - start);
    if (!ok) {
      ++out.failures;
      client.Close();
      continue;
    }
    if (i >= 10) times.push_back(ms);  // the first ones open the tunnel
  }
  if (times.empty()) return out;
  std::sort(times.begin(), times.end());
  out.p50_ms = times[times.size() / 2];
  out.p99_ms = times[std::min(times.size() - 1, times.size() * 99 / 100)];
  return out;
}

// One busy connection: downloads without end, reading at `pace` bytes per
// second, until `stop`.
void BusyDownload(std::uint16_t proxy_port, std::uint16_t origin_port, int pace, const std::atomic<bool>& stop,
                  std::atomic<std::uint64_t>& bytes, std::atomic<int>& failures) {
  const std::string request = Get(origin_port, "/big/1073741824");
  while (!stop) {
    const int fd = korvan::bench::ConnectLoopback(proxy_port);
    if (fd < 0 || !korvan::bench::SendAll(fd, request)) {
      if (fd >= 0) ::close(fd);
      ++failures;
      std::this_thread::sleep_for(100ms);
      continue;
    }
    const int slice = std::max(1, pace / 10);
    std::vector<char> buffer(static_cast<std::size_t>(slice));
    while (!stop) {
      const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_WAITALL);
      if (n <= 0) {
        ++failures;
        break;
      }
      bytes += static_cast<std::uint64_t>(n);
      std::this_thread::sleep_for(100ms);
    }
    ::close(fd);
  }
}

void MeasureLatency(const Options& options, const korvan::bench::ClientSettings& settings) {
  korvan::bench::Origin origin({}, MarkupPattern());
  korvan::bench::KorvanPair pair(BinDir(), settings, false);
  const Percentiles idle = SmallRequests(pair.http_port(), origin.port(), options.samples);

  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> busy;
  for (int i = 0; i < options.busy; ++i) {
    busy.emplace_back(BusyDownload, pair.http_port(), origin.port(), options.pace, std::cref(stop), std::ref(bytes),
                      std::ref(failures));
    if (i % 25 == 24) std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(3s);  // every download under way
  // What the downloads cost, over a window long enough for the kernel's
  // CPU ticks; then the samples.
  const std::uint64_t bytes0 = bytes.load();
  const auto start = SteadyClock::now();
  const auto [server_cpu, client_cpu] = CpuOver(pair, options.window_s);
  const double rate = static_cast<double>(bytes.load() - bytes0) / Seconds(SteadyClock::now() - start) / 1e6;
  const Percentiles loaded = SmallRequests(pair.http_port(), origin.port(), options.samples);
  stop = true;
  for (auto& t : busy) t.join();

  std::printf("\nlatency: a 1 KiB GET, %d samples, idle pair against %d busy downloads (each read at %d B/s)\n",
              options.samples, options.busy, options.pace);
  std::printf("  idle: p50 %.2f ms, p99 %.2f ms (%d failed)\n", idle.p50_ms, idle.p99_ms, idle.failures);
  std::printf("  busy: p50 %.2f ms, p99 %.2f ms (%d failed), busy/idle p50 %s, p99 %s\n", loaded.p50_ms,
              loaded.p99_ms, loaded.failures, Ratio(loaded.p50_ms, idle.p50_ms).c_str(),
              Ratio(loaded.p99_ms, idle.p99_ms).c_str());
  std::printf("  meanwhile: %.1f MB/s delivered to the busy readers, server CPU %.0f %%, client CPU %.0f %%, "
              "%d busy downloads broke\n",
              rate, server_cpu, client_cpu, failures.load());
}

int Usage() {
  std::fprintf(stderr,
               "usage: korvan_bench_load [--idle N] [--busy M] [--pace BYTES-PER-SECOND] [--samples K] [--quick]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&](int& into, int low) {
      if (i + 1 >= argc) return false;
      into = std::atoi(argv[++i]);
      return into >= low;
    };
    if (arg == "--quick") {
      options.idle = 200;
      options.busy = 50;
      options.samples = 100;
      options.window_s = 2;
    } else if (arg == "--idle" ? !value(options.idle, 1)
               : arg == "--busy" ? !value(options.busy, 1)
               : arg == "--pace" ? !value(options.pace, 10)
               : arg == "--samples" ? !value(options.samples, 10)
                                        : true) {
      return Usage();
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  for (const char* program : {"korvan", "korvan-server"}) {
    if (::access((BinDir() / program).c_str(), X_OK) != 0) {
      std::printf("%s not built: load benchmarks skipped\n", (BinDir() / program).c_str());
      return 0;
    }
  }
  // Each idle connection costs the client two descriptors and the server
  // one; the programs inherit the limit.
  korvan::bench::RaiseDescriptorLimit(UINT64_MAX);
  korvan::bench::ClientSettings settings;
  const int most = std::max(options.idle, options.busy + 16);
  settings.max_connections = std::min(65535, most + 64);
  // Thousands of connections from one address in a few seconds: the
  // server's guard against floods from one address must not be what is measured.
  settings.server_options = {"--max-pending-per-address", std::to_string(most)};
  std::printf("korvan --service and korvan-server on loopback, under load\n");
  try {
    MeasureIdle(options, settings);
    MeasureLatency(options, settings);
  } catch (const std::exception& e) {
    std::printf("benchmark failed: %s\n", e.what());
    return 1;
  }
  return 0;
}
