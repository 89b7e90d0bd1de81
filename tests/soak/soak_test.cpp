// The soak: the real korvan --service and korvan-server on loopback under
// hundreds of concurrent transfers of every kind, while faults strike them,
// then checks of what each transfer got and of what the programs kept.
//
//   KORVAN_SOAK_SECONDS      seconds of load (default 60; scripts/soak.sh sets it)
//   KORVAN_SOAK_CONCURRENCY  transfers kept running at once (default 500)
//
// The figures go to standard output as the run's record (docs/soak.md).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "tests/apps/service_pair_fixture.h"
#include "tests/soak/soak_origin.h"
#include "tests/soak/soak_traffic.h"
#include "wire/opening.h"

namespace korvan::soak {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kDefaultConcurrency = 100;  // the instrumented programs are several times slower
#else
constexpr int kDefaultConcurrency = 500;
#endif
constexpr int kDefaultSeconds = 60;

// What the programs may keep once the load has gone: a few descriptors and
// threads of their own that come and go (log, account file, timers).
constexpr int kFdMargin = 10;
constexpr int kThreadMargin = 4;
constexpr auto kSettleLimit = 30s;
// Resident memory of each program at any moment of the soak. At 500
// transfers at once the client holds a thread and a few buffers of up to
// 256 KiB per connection, and the server its frames in flight.
constexpr long kRssLimitKib = 1024 * 1024;

int EnvInt(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  const int value = std::atoi(text);
  return value > 0 ? value : fallback;
}

struct ProcessFigures {
  int fds = -1, threads = -1;
  long rss_kib = -1;
  bool valid() const { return fds >= 0 && threads >= 0; }
};

int CountEntries(const fs::path& dir) {
  std::error_code ec;
  int n = 0;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) ++n;
  return ec ? -1 : n;
}

ProcessFigures Measure(pid_t pid) {
  ProcessFigures f;
  if (pid <= 0) return f;
  const fs::path proc = "/proc/" + std::to_string(pid);
  f.fds = CountEntries(proc / "fd");
  f.threads = CountEntries(proc / "task");
  std::ifstream status(proc / "status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) f.rss_kib = std::atol(line.c_str() + 6);
  }
  return f;
}

struct Peak {
  ProcessFigures most;
  void Add(const ProcessFigures& f) {
    if (!f.valid()) return;
    most.fds = std::max(most.fds, f.fds);
    most.threads = std::max(most.threads, f.threads);
    most.rss_kib = std::max(most.rss_kib, f.rss_kib);
  }
};

// Counts of one kind of transfer, by outcome and by fault.
struct Tally {
  std::array<std::size_t, kOutcomes> outcomes{};
  std::array<std::size_t, kFaults> started{}, completed{};
  std::size_t strict = 0, strict_completed = 0;
  std::size_t bytes = 0;
};

struct Window {
  Clock::time_point from, to;
};

// The plan of a worker's next transfer: mostly small bodies, some large,
// most without a fault of their own.
TransferPlan NextPlan(std::mt19937& random, std::uint32_t seed) {
  TransferPlan plan;
  plan.seed = seed;
  const int kind = std::uniform_int_distribution<int>(0, 9)(random);
  plan.kind = kind < 4 ? Kind::kGet : kind < 6 ? Kind::kConnect : kind < 8 ? Kind::kSocks4 : Kind::kMapping;
  const int size = std::uniform_int_distribution<int>(0, 99)(random);
  if (plan.kind == Kind::kGet) {
    plan.size = size < 10 ? 0 : size < 45 ? 1024 : size < 80 ? 65536 : size < 95 ? 1 << 20 : 4 << 20;
  } else {
    plan.size = size < 40 ? 1024 : size < 85 ? 65536 : 1 << 20;
  }
  const int fault = std::uniform_int_distribution<int>(0, 99)(random);
  plan.fault = fault < 55   ? Fault::kNone
               : fault < 62 ? Fault::kSlowReader
               : fault < 70 ? Fault::kHalfClose
               : fault < 78 ? Fault::kClientReset
               : fault < 86 ? Fault::kVanish
               : fault < 93 ? Fault::kOriginReset
                            : Fault::kOriginStall;
  const bool origin_fault = plan.fault == Fault::kOriginReset || plan.fault == Fault::kOriginStall;
  // The origin faults need an HTTP body long enough to break into.
  if (origin_fault && (plan.kind != Kind::kGet || plan.size < 65536)) plan.fault = Fault::kNone;
  return plan;
}

// Faults of a transfer's own after which it must still complete.
bool MustComplete(Fault fault) {
  return fault == Fault::kNone || fault == Fault::kSlowReader || fault == Fault::kOriginStall;
}

class Soak : public test::ServicePairFixture {
 protected:
  void SetUp() override {
    // Hundreds of connections on each side: the programs inherit this.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
      files.rlim_cur = files.rlim_max;
      ::setrlimit(RLIMIT_NOFILE, &files);
    }
    PrepareFolders(/*needs_curl=*/false);
    if (IsSkipped() || HasFatalFailure()) return;
    // Prepaid: the soak moves gigabytes, far beyond the demo credit.
    Account("set", "--prepaid-until 2099-12-31");
    StartServer(ServerOptions());
    if (HasFatalFailure()) return;
    extra_config_ = "MaxConnections=2048\r\n";
    std::vector<test::PortEntry> ports{{Protocol::kHttp}, {Protocol::kSocks4}, {Protocol::kTcpIp, "127.0.0.1", echo_.port()}};
    StartClient(ports);
    if (HasFatalFailure()) return;
    ports_ = {ports[0].local_port, ports[1].local_port, ports[2].local_port, pattern_origin_.port(), echo_.port()};
  }

  // The account may hold every transfer at once; the deflate level keeps the
  // packing within two cores at this rate (the codec has its own tests).
  static std::vector<std::string> ServerOptions() {
    return {"--allow-private", "--max-connections", "8192", "--max-account-connections", "8192", "--deflate-level", "6"};
  }

  // SIGKILL, a second without a server (new connections meet the client's
  // failure), and a new server on the same port.
  void RestartServer() {
    std::size_t window = 0;
    {
      // Open before the kill: transfers that end at once must see it.
      MutexLock lock(windows_mutex_);
      window = windows_.size();
      windows_.push_back({Clock::now(), Clock::time_point::max()});
    }
    server_pid_ = 0;
    server_->Stop(SIGKILL);
    std::this_thread::sleep_for(1s);
    std::vector<std::string> args{"--listen", "127.0.0.1:" + std::to_string(server_port_), "--words",
                                  (root_ / "app" / "korvan.lvk").string(), "--accounts", accounts()};
    const auto options = ServerOptions();
    args.insert(args.end(), options.begin(), options.end());
    ++restarts_;
    server_ = std::make_unique<test::ChildProcess>(server_program(), args,
                                                   root_ / ("server-" + std::to_string(restarts_) + ".txt"));
    ASSERT_TRUE(test::WaitForPort(server_port_)) << server_->Output();
    server_pid_ = server_->pid();
    // Transfers running up to a moment after the restart may meet the fault.
    MutexLock lock(windows_mutex_);
    windows_[window].to = Clock::now() + 2s;
  }

  bool InKillWindow(const TransferResult& r) KORVAN_EXCLUDES(windows_mutex_) {
    MutexLock lock(windows_mutex_);
    return std::any_of(windows_.begin(), windows_.end(),
                       [&](const Window& w) { return r.start <= w.to && r.end >= w.from; });
  }

  // One transfer of each kind without a fault; each must complete.
  void EachKindOnce(const char* when) {
    for (int k = 0; k < kKinds; ++k) {
      const TransferPlan plan{static_cast<Kind>(k), Fault::kNone, 65536, 7000000u + static_cast<std::uint32_t>(k)};
      const TransferResult r = RunTransfer(ports_, plan);
      EXPECT_EQ(r.outcome, Outcome::kComplete)
          << when << ": " << KindName(plan.kind) << " " << OutcomeName(r.outcome) << " " << r.detail << "\n"
          << client_->Output();
    }
  }

  // Polls until both programs are back within the margins of `base`.
  void Settle(const ProcessFigures& client_base, const ProcessFigures& server_base, ProcessFigures& client_now,
              ProcessFigures& server_now) {
    const auto limit = Clock::now() + kSettleLimit;
    for (;;) {
      client_now = Measure(client_->pid());
      server_now = Measure(server_->pid());
      const bool settled = client_now.fds <= client_base.fds + kFdMargin &&
                           client_now.threads <= client_base.threads + kThreadMargin &&
                           server_now.fds <= server_base.fds + kFdMargin &&
                           server_now.threads <= server_base.threads + kThreadMargin;
      if (settled || Clock::now() > limit) return;
      std::this_thread::sleep_for(250ms);
    }
  }

  PatternOrigin pattern_origin_;
  EchoOrigin echo_;
  Ports ports_;
  std::atomic<pid_t> server_pid_{0};
  int restarts_ = 0;
  Mutex windows_mutex_;
  std::vector<Window> windows_ KORVAN_GUARDED_BY(windows_mutex_);
};

void PrintProcess(const char* name, const ProcessFigures& base, const Peak& peak, const ProcessFigures& last) {
  std::printf("[soak] %-13s fds %4d -> peak %5d -> final %4d | threads %3d -> peak %4d -> final %3d | "
              "RSS %6ld -> peak %7ld -> final %7ld KiB\n",
              name, base.fds, peak.most.fds, last.fds, base.threads, peak.most.threads, last.threads, base.rss_kib,
              peak.most.rss_kib, last.rss_kib);
}

TEST_F(Soak, MixedTransfersSurviveServerKillsResetsStallsAndSlowClients) {
  const int seconds = EnvInt("KORVAN_SOAK_SECONDS", kDefaultSeconds);
  const int concurrency = EnvInt("KORVAN_SOAK_CONCURRENCY", kDefaultConcurrency);

  // Every path works before the load; the baseline is taken after it, so
  // that what the first connection sets up once does not count as growth.
  EachKindOnce("before the load");
  ASSERT_FALSE(HasFailure());
  std::this_thread::sleep_for(1s);
  server_pid_ = server_->pid();
  const ProcessFigures client_base = Measure(client_->pid());
  const ProcessFigures server_base = Measure(server_pid_);
  ASSERT_TRUE(client_base.valid() && server_base.valid());

  const Clock::time_point start = Clock::now();
  const Clock::time_point load_end = start + std::chrono::seconds(seconds);
  std::atomic<int> active{0}, peak_active{0};
  std::vector<std::array<Tally, kKinds>> tallies(static_cast<std::size_t>(concurrency));
  Mutex failures_mutex;
  std::vector<std::string> failures;  // guarded by failures_mutex, read after the join
  std::atomic<std::size_t> failure_count{0};

  const auto worker = [&](int id) {
    std::mt19937 random(static_cast<std::uint32_t>(id) * 7919u + 1u);
    auto& mine = tallies[static_cast<std::size_t>(id)];
    for (std::uint32_t n = 0; Clock::now() < load_end; ++n) {
      const TransferPlan plan = NextPlan(random, static_cast<std::uint32_t>(id) * 1000000u + n);
      int now = ++active;
      for (int seen = peak_active; now > seen && !peak_active.compare_exchange_weak(seen, now);) {
      }
      const TransferResult r = RunTransfer(ports_, plan);
      --active;
      Tally& t = mine[static_cast<int>(plan.kind)];
      ++t.outcomes[static_cast<int>(r.outcome)];
      ++t.started[static_cast<int>(plan.fault)];
      t.bytes += r.received;
      if (r.outcome == Outcome::kComplete) ++t.completed[static_cast<int>(plan.fault)];
      // Never acceptable: a wrong byte, a hang, a port that did not accept.
      bool failed = r.outcome == Outcome::kCorrupt || r.outcome == Outcome::kHung || r.outcome == Outcome::kNoConnect;
      if (MustComplete(plan.fault) && !InKillWindow(r)) {
        ++t.strict;
        if (r.outcome == Outcome::kComplete) {
          ++t.strict_completed;
        } else {
          failed = true;
        }
      }
      if (failed && ++failure_count <= 20) {
        std::ostringstream line;
        line << KindName(plan.kind) << " " << plan.size << " B, fault " << FaultName(plan.fault) << ": "
             << OutcomeName(r.outcome) << " (HTTP " << r.status << ", " << r.received << " B, "
             << std::chrono::duration_cast<std::chrono::milliseconds>(r.start - start).count() << " ms in) "
             << r.detail;
        MutexLock lock(failures_mutex);
        failures.push_back(line.str());
      }
    }
  };

  // Figures of both programs through the load, a few times a second.
  std::atomic<bool> sampling{true};
  Peak client_peak, server_peak;
  std::thread sampler([&] {
    while (sampling) {
      client_peak.Add(Measure(client_->pid()));
      server_peak.Add(Measure(server_pid_));
      std::this_thread::sleep_for(250ms);
    }
  });

  std::vector<std::thread> workers;
  workers.reserve(static_cast<std::size_t>(concurrency));
  for (int id = 0; id < concurrency; ++id) {
    workers.emplace_back(worker, id);
    std::this_thread::sleep_for(4ms);  // a ramp, not one burst of SYNs
  }
  // The server is killed every third of the run (every minute in long runs).
  const auto interval = std::clamp<Clock::duration>(std::chrono::seconds(seconds) / 3, 15s, 60s);
  for (auto next_kill = start + interval; next_kill + 8s < load_end; next_kill += interval) {
    std::this_thread::sleep_until(next_kill);
    RestartServer();
    if (HasFatalFailure()) break;
  }
  for (auto& t : workers) t.join();
  const auto load_seconds = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count() / 1e3;
  sampling = false;
  sampler.join();
  ASSERT_FALSE(HasFatalFailure());

  ProcessFigures client_final, server_final;
  Settle(client_base, server_base, client_final, server_final);
  const auto settle_seconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count() / 1e3 - load_seconds;

  // The record.
  std::array<Tally, kKinds> total{};
  for (const auto& per_worker : tallies) {
    for (int k = 0; k < kKinds; ++k) {
      for (int o = 0; o < kOutcomes; ++o) total[k].outcomes[o] += per_worker[k].outcomes[o];
      for (int f = 0; f < kFaults; ++f) {
        total[k].started[f] += per_worker[k].started[f];
        total[k].completed[f] += per_worker[k].completed[f];
      }
      total[k].strict += per_worker[k].strict;
      total[k].strict_completed += per_worker[k].strict_completed;
      total[k].bytes += per_worker[k].bytes;
    }
  }
  std::printf("[soak] %d s of load (%.1f s with the drain, %.1f s to settle), %d workers, peak %d transfers at once, "
              "%d server kills\n",
              seconds, load_seconds, settle_seconds, concurrency, peak_active.load(), restarts_);
  std::printf("[soak] %-8s %7s %9s %6s %7s %7s %8s %8s %5s %6s %10s %8s\n", "kind", "done", "complete", "page",
              "closed", "refused", "ownclose", "corrupt", "hung", "noconn", "must/ok", "MiB");
  for (int k = 0; k < kKinds; ++k) {
    const Tally& t = total[k];
    std::size_t done = 0;
    for (const std::size_t n : t.outcomes) done += n;
    std::printf("[soak] %-8s %7zu %9zu %6zu %7zu %7zu %8zu %8zu %5zu %6zu %5zu/%-5zu %7.1f\n",
                KindName(static_cast<Kind>(k)), done, t.outcomes[0], t.outcomes[1], t.outcomes[2], t.outcomes[3],
                t.outcomes[4], t.outcomes[5], t.outcomes[6], t.outcomes[7], t.strict, t.strict_completed,
                static_cast<double>(t.bytes) / (1 << 20));
  }
  std::printf("[soak] by fault (complete/started):");
  for (int f = 0; f < kFaults; ++f) {
    std::size_t started = 0, completed = 0;
    for (const Tally& t : total) {
      started += t.started[f];
      completed += t.completed[f];
    }
    std::printf(" %s %zu/%zu;", FaultName(static_cast<Fault>(f)), completed, started);
  }
  std::printf(" origin resets %zu, stalls %zu\n", pattern_origin_.resets.load(), pattern_origin_.stalls.load());
  PrintProcess("korvan", client_base, client_peak, client_final);
  PrintProcess("korvan-server", server_base, server_peak, server_final);
  std::fflush(stdout);

  {
    MutexLock lock(failures_mutex);
    std::string list;
    for (const auto& f : failures) list += "  " + f + "\n";
    EXPECT_EQ(failure_count.load(), 0u) << "the first failed transfers:\n" << list;
  }
  for (int k = 0; k < kKinds; ++k) {
    EXPECT_GT(total[k].strict_completed, 0u) << KindName(static_cast<Kind>(k)) << " never completed under load";
  }
  EXPECT_LE(client_final.fds, client_base.fds + kFdMargin) << "korvan kept descriptors";
  EXPECT_LE(client_final.threads, client_base.threads + kThreadMargin) << "korvan kept threads";
  EXPECT_LE(server_final.fds, server_base.fds + kFdMargin) << "korvan-server kept descriptors";
  EXPECT_LE(server_final.threads, server_base.threads + kThreadMargin) << "korvan-server kept threads";
  EXPECT_LT(client_peak.most.rss_kib, kRssLimitKib) << "korvan's resident memory";
  EXPECT_LT(server_peak.most.rss_kib, kRssLimitKib) << "korvan-server's resident memory";

  // The client still serves after all of it, and so does curl through it.
  EachKindOnce("after the faults");
  if (test::RunCommand("curl --version >/dev/null 2>&1")) {
    const ObjectRequest object{65536, 4242};
    const std::string url = "http://127.0.0.1:" + std::to_string(pattern_origin_.port()) + ObjectPath(object);
    const std::string body = Curl("-x http://127.0.0.1:" + std::to_string(ports_.http) + " '" + url + "'");
    std::string expected(object.size, '\0');
    PatternBytes(object.seed, 0, expected.data(), expected.size());
    EXPECT_TRUE(body == expected) << "curl got " << body.size() << " bytes: " << body.substr(0, 100);
  }
}

}  // namespace
}  // namespace korvan::soak
