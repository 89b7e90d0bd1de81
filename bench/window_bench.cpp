// Window mode's costs, measured on the real program (`korvan` with Qt
// offscreen, from the build's program folder) beside `korvan --service` in
// the same run, both against one stand-in compression server on loopback:
//   idle      CPU share over 10 s of wall time with the chart running
//             (target: below 1 % of one core), service mode beside it;
//   loop      the main thread's latency while 200 downloads run: every new
//             connection's opening is prepared on the main thread (a
//             hand-off through the event loop), so the time from a probe's
//             connect until its opening reaches the server shows how long
//             the loop keeps a worker waiting (target: p99 below 50 ms);
//             the downloads are paced, one frame every 100 ms each;
//   download  200 downloads at once: the bytes per second of window mode
//             against service mode (target: at least 0.9 x);
//   memory    window mode's resident memory with the window open, idle
//             (target: below 120 MB), and its peak beside service mode's.
//   korvan_bench_window [--quick]     (--quick: 3 s idle, 64 KiB a download)
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_sockets.h"
#include "tests/support/child_process.h"
#include "wire/frame_reader.h"
#include "wire/frame_writer.h"
#include "wire/opening.h"
#include "wire/word_list.h"

namespace {

using korvan::bench::ConnectLoopback;
using korvan::bench::RecvExact;
using korvan::bench::SendAll;
using StandIn = korvan::bench::LoopbackServer;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using SteadyClock = std::chrono::steady_clock;

// One frame (up to 63 KiB raw) per endless download this often.
constexpr auto kPace = 100ms;

struct Settings {
  int idle_ms = 10000;
  int downloads = 200;
  std::size_t download_bytes = 512u << 10;  // each
  int probes = 200;
};

fs::path BinDir() { return KORVAN_BIN_DIR; }
double Seconds(SteadyClock::duration d) { return std::chrono::duration<double>(d).count(); }

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// User + system time of the whole process so far (fields 14 and 15).
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t paren = text.rfind(')');
  if (paren == std::string::npos) return 0;
  std::istringstream fields(text.substr(paren + 2));
  std::vector<std::string> f;
  for (std::string x; fields >> x;) f.push_back(x);
  if (f.size() <= 12) return 0;
  return static_cast<double>(std::stoll(f[11]) + std::stoll(f[12])) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long StatusKib(pid_t pid, const char* key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(key)) return std::stol(line.substr(line.find(':') + 1));
  }
  return 0;
}

// The stand-in server: every tunnel's opening is counted with its time;
// a tunnel whose client sends a data frame gets `frames`, once or (endless)
// over and over until the client goes.
class Server {
 public:
  Server(const std::vector<Bytes>& frames, std::atomic<bool>& endless)
      : frames_(frames), endless_(endless), stand_in_([this](int fd, StandIn& self) {
          self.Serve(fd, [this](int c) { Tunnel(c); });
        }) {}
  std::uint16_t port() const { return stand_in_.port(); }
  int openings() const { return openings_.load(); }
  SteadyClock::time_point last_opening() const {
    return SteadyClock::time_point(SteadyClock::duration(last_opening_.load()));
  }

 private:
  void Tunnel(int fd) {
    Bytes opening(korvan::kOpeningSize);
    if (!RecvExact(fd, opening.data(), opening.size())) return;
    last_opening_.store(SteadyClock::now().time_since_epoch().count());
    ++openings_;
    korvan::ReceiveBuffer buffer;
    std::uint8_t chunk[4096];
    bool asked = false;
    while (!asked) {
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      buffer.Append(std::span<const std::uint8_t>(chunk, static_cast<std::size_t>(n)));
      korvan::DecodeFrames(buffer, [&](const korvan::ReceiveBuffer&, const korvan::FrameView& frame) {
        if (!(frame.flags & korvan::tfControl)) asked = true;
        return asked ? korvan::FrameVerdict::kClose : korvan::FrameVerdict::kContinue;
      });
    }
    for (const Bytes& f : frames_) {
      if (!SendAll(fd, f.data(), f.size())) return;
    }
    // Endless downloads are paced: 200 of them at full speed would measure
    // how two cores share out 600 threads, not the client's main thread.
    for (std::size_t i = 0; endless_.load(); ++i) {
      std::this_thread::sleep_for(kPace);
      const Bytes& f = frames_[i % frames_.size()];
      if (!SendAll(fd, f.data(), f.size())) return;
    }
  }

  const std::vector<Bytes>& frames_;
  std::atomic<bool>& endless_;
  std::atomic<int> openings_{0};
  std::atomic<SteadyClock::rep> last_opening_{0};
  StandIn stand_in_;
};

// `korvan` (window mode, offscreen) or `korvan --service` in folders of its
// own, with one SMTP-kind port (the opening leaves at once, then bytes pass
// through unchanged) whose tunnels go to `server_port`.
class Korvan {
 public:
  Korvan(bool window, std::uint16_t server_port) {
    std::string pattern = (fs::temp_directory_path() / "korvan-window-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    for (const char* d : {"app", "config", "run"}) fs::create_directories(root_ / d);
    fs::permissions(root_ / "run", fs::perms::owner_all);
    for (const char* f : {"cs.kvl", "en.kvl", "korvan.lvk"}) fs::copy_file(BinDir() / f, root_ / "app" / f);
    port_ = static_cast<std::uint16_t>(korvan::test::FreeLoopbackPort());
    std::ofstream(root_ / "config" / "Korvan.ini", std::ios::binary)
        << "[Config]\r\nIDSE_Value=100000001\r\nPassEL_Text=demo\r\nLanguage=en.kvl\r\n"
        << "ServerAddress=127.0.0.1\r\nServerPort=" << server_port << "\r\n"
        << "[Setup]\r\nSocketCount=1\r\n[Socket1]\r\nLPort=" << port_ << "\r\nProtocol=3\r\n";
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("XDG_RUNTIME_DIR", (root_ / "run").c_str(), 1);
    std::vector<std::string> args{"--config-dir", (root_ / "config").string(), "--app-dir", (root_ / "app").string()};
    if (!window) args.insert(args.begin(), "--service");
    process_ = std::make_unique<korvan::test::ChildProcess>(BinDir() / "korvan", args, root_ / "output.txt");
    for (const auto deadline = SteadyClock::now() + 15s; SteadyClock::now() < deadline;) {
      if (const int probe = ConnectLoopback(port_); probe >= 0) {
        ::close(probe);
        std::this_thread::sleep_for(300ms);
        return;
      }
      std::this_thread::sleep_for(20ms);
    }
    throw std::runtime_error("korvan did not open its port:\n" + process_->Output());
  }
  ~Korvan() {
    if (process_->Stop(SIGTERM, 15s) != 0) std::fprintf(stderr, "korvan did not stop cleanly\n");
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  std::uint16_t port() const { return port_; }
  pid_t pid() const { return process_->pid(); }

 private:
  fs::path root_;
  std::uint16_t port_ = 0;
  std::unique_ptr<korvan::test::ChildProcess> process_;
};

// Markup with varying words and numbers, cut into full blocks.
std::vector<Bytes> Frames(const korvan::WordList& words, std::size_t total) {
  std::mt19937 rng(7);
  const char* vocabulary[] = {"news", "item", "price", "link", "title", "author", "comment", "section", "menu", "footer"};
  std::vector<Bytes> frames;
  for (std::size_t raw = 0; raw < total;) {
    std::string block;
    while (block.size() < korvan::kMaxRawBlock && raw + block.size() < total) {
      block += "<div class=\"" + std::string(vocabulary[rng() % 10]) + "\"><a href=\"/" + std::to_string(rng() % 100000) +
               "\">" + vocabulary[rng() % 10] + "</a></div>\n";
    }
    block.resize(std::min({block.size(), korvan::kMaxRawBlock, total - raw}));
    raw += block.size();
    frames.push_back(korvan::PackFrame(words, std::span(reinterpret_cast<const std::uint8_t*>(block.data()), block.size()),
                                       korvan::tfDeflate));
  }
  return frames;
}

// Starts `count` downloads at once; each reads until `bytes` arrived (or,
// with bytes 0, until `stop`). The wall time until all are done.
double RunDownloads(std::uint16_t port, int count, std::size_t bytes, const std::atomic<bool>& stop) {
  std::vector<int> fds;
  for (int i = 0; i < count; ++i) {
    const int fd = ConnectLoopback(port);
    if (fd < 0) throw std::runtime_error("cannot connect to korvan");
    fds.push_back(fd);
  }
  const auto start = SteadyClock::now();
  std::atomic<bool> failed{false};
  std::vector<std::thread> readers;
  for (const int fd : fds) {
    readers.emplace_back([&, fd] {
      if (!SendAll(fd, "GET\r\n")) failed = true;
      std::vector<std::uint8_t> buf(1 << 16);
      std::size_t got = 0;
      while (bytes == 0 ? !stop.load() : got < bytes) {
        const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) {
          failed = true;
          return;
        }
        got += static_cast<std::size_t>(n);
      }
    });
  }
  for (auto& t : readers) t.join();
  const double wall = Seconds(SteadyClock::now() - start);
  for (const int fd : fds) ::close(fd);
  if (failed) throw std::runtime_error("a download broke off");
  return wall;
}

struct Result {
  double idle_share = 0;     // of one core
  double throughput = 0;     // raw bytes per second, all downloads
  double loop_p50_ms = 0, loop_p99_ms = 0;
  long idle_rss_kib = 0;  // after the idle phase
  long hwm_kib = 0;       // the peak, downloads included
};

Result Measure(bool window, const korvan::WordList& words, const Settings& s) {
  const std::vector<Bytes> frames = Frames(words, s.download_bytes);
  std::atomic<bool> endless{false};
  Server server(frames, endless);
  Korvan korvan(window, server.port());
  Result r;
  std::printf("%s: korvan is process %d\n", window ? "window mode" : "service mode", static_cast<int>(korvan.pid()));
  std::fflush(stdout);

  const double cpu0 = CpuSeconds(korvan.pid());
  const auto t0 = SteadyClock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(s.idle_ms));
  r.idle_share = (CpuSeconds(korvan.pid()) - cpu0) / Seconds(SteadyClock::now() - t0);
  r.idle_rss_kib = StatusKib(korvan.pid(), "VmRSS:");

  const std::atomic<bool> never{false};
  RunDownloads(korvan.port(), 8, s.download_bytes, never);  // warm up
  const double wall = RunDownloads(korvan.port(), s.downloads, s.download_bytes, never);
  r.throughput = static_cast<double>(s.download_bytes) * s.downloads / wall;

  // Probes while endless downloads keep the client busy.
  endless = true;
  std::atomic<bool> stop{false};
  const int before_load = server.openings();
  std::thread load([&] {
    try {
      RunDownloads(korvan.port(), s.downloads, 0, stop);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "loop: %s\n", e.what());
    }
  });
  for (const auto deadline = SteadyClock::now() + 30s;
       server.openings() < before_load + s.downloads && SteadyClock::now() < deadline;) {
    std::this_thread::sleep_for(5ms);
  }
  std::this_thread::sleep_for(500ms);
  std::vector<double> lags;
  for (int i = 0; i < s.probes; ++i) {
    const int before = server.openings();
    const auto start = SteadyClock::now();
    const int fd = ConnectLoopback(korvan.port());
    if (fd < 0) throw std::runtime_error("probe could not connect");
    while (server.openings() == before && SteadyClock::now() - start < 5s) std::this_thread::sleep_for(100us);
    lags.push_back(Seconds(server.last_opening() - start) * 1e3);
    ::close(fd);
    std::this_thread::sleep_for(10ms);
  }
  stop = true;
  endless = false;
  load.join();
  r.loop_p50_ms = Percentile(lags, 0.5);
  r.loop_p99_ms = Percentile(lags, 0.99);
  r.hwm_kib = StatusKib(korvan.pid(), "VmHWM:");
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      s.idle_ms = 3000;
      s.download_bytes = 64u << 10;
      s.probes = 50;
    } else {
      std::fprintf(stderr, "usage: korvan_bench_window [--quick]\n");
      return 2;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  const korvan::WordListPtr words = korvan::LoadWordList(BinDir() / "korvan.lvk");
  if (words == nullptr) {
    std::fprintf(stderr, "no word list in the program folder\n");
    return 1;
  }
  try {
    const Result service = Measure(false, *words, s);
    const Result window = Measure(true, *words, s);
    const double ratio = window.throughput / service.throughput;
    const auto row = [](const char* what, const std::string& w, const std::string& base, const std::string& result,
                        const char* target, bool met) {
      std::printf("%-44s %14s %14s %12s %14s  %s\n", what, w.c_str(), base.c_str(), result.c_str(), target,
                  met ? "met" : "MISSED");
    };
    const auto fmt = [](int digits, double v, const char* unit) {
      char text[64];
      std::snprintf(text, sizeof text, "%.*f %s", digits, v, unit);
      return std::string(text);
    };
    std::printf("%-44s %14s %14s %12s %14s\n", "measure", "window mode", "service mode", "result", "target");
    row("idle CPU, chart running (share of a core)", fmt(2, window.idle_share * 100, "%"),
        fmt(2, service.idle_share * 100, "%"), fmt(2, window.idle_share * 100, "%"), "< 1 %",
        window.idle_share < 0.01);
    row("main-thread hand-off, 200 paced downloads, p99", fmt(2, window.loop_p99_ms, "ms"),
        fmt(2, service.loop_p99_ms, "ms"), fmt(2, window.loop_p99_ms, "ms"), "< 50 ms", window.loop_p99_ms < 50);
    row("  same, median", fmt(2, window.loop_p50_ms, "ms"), fmt(2, service.loop_p50_ms, "ms"), "-", "-", true);
    row("200 downloads at once, throughput", fmt(1, window.throughput / 1e6, "MB/s"),
        fmt(1, service.throughput / 1e6, "MB/s"), fmt(2, ratio, "x"), ">= 0.9 x", ratio >= 0.9);
    const auto mb = [&](long kib) { return fmt(1, static_cast<double>(kib) / 1024, "MB"); };
    row("resident memory, window open, idle", mb(window.idle_rss_kib), mb(service.idle_rss_kib),
        mb(window.idle_rss_kib), "< 120 MB", window.idle_rss_kib < 120 * 1024);
    row("  peak, 200 downloads included", mb(window.hwm_kib), mb(service.hwm_kib),
        fmt(2, static_cast<double>(window.hwm_kib) / static_cast<double>(service.hwm_kib), "x"), "-", true);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "korvan_bench_window: %s\n", e.what());
    return 1;
  }
  return 0;
}
