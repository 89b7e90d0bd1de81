// Throughput of korvan-server scaled out: two servers over one PostgreSQL
// database behind HAProxy (TCP mode), against one server alone with the
// clients connecting to it directly, in the same run, with the same
// database, servers and load. A third line is one server behind HAProxy:
// what the balancer itself costs.
//
// Each server runs with --threads 1, so that it is about one core's worth,
// and the default --deflate-level 11: packing is what costs the CPU. The
// load is C downloads at once, each S bytes of markup mixed with a little
// noise, through the tunnel as TCP/IP mappings to a local sender, started
// again as each ends. Every byte that arrives is checked against what the
// sender sent; a wrong byte, a refusal or a short download fails the bench.
//   korvan_bench_cluster [--downloads C] [--size BYTES] [--seconds T] [--quick]
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/pair_bench_net.h"
#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "server/password_hash.h"
#include "server/postgres_account_store.h"
#include "tests/cluster/cluster_programs.h"
#include "tests/server/origins.h"
#include "tests/server/tunnel_client.h"
#include "tests/support/child_process.h"
#include "tests/support/postgres_cluster.h"
#include "tests/support/test_paths.h"
#include "wire/word_list.h"

namespace {

namespace fs = std::filesystem;
using korvan::cluster_test::PortAfter;
using korvan::cluster_test::UnixRequest;
using namespace std::chrono_literals;
using korvan::server::test::TunnelClient;
using SteadyClock = std::chrono::steady_clock;

constexpr std::int32_t kAccount = 100000001;

struct Options {
  int downloads = 64;
  std::size_t size = 4u << 20;
  double seconds = 15;
  double warm_up_s = 3;  // every download under way before the window opens
};

double Seconds(SteadyClock::duration d) { return std::chrono::duration<double>(d).count(); }

// Markup that packs well, with a piece of noise that does not after each
// copy of the page, as pages carry inline pictures and scripts.
std::string Body(std::size_t size) {
  const std::string page = korvan::server::test::SampleHtml();
  std::string body;
  for (std::uint32_t piece = 0; body.size() < size; ++piece) {
    body += page;
    body += korvan::server::test::RandomBytes(4096, piece);
  }
  body.resize(size);
  return body;
}

struct Server {
  std::unique_ptr<korvan::test::ChildProcess> process;
  std::uint16_t port = 0;
  std::uint16_t admin = 0;
};

Server StartServer(const fs::path& dir, const std::string& url, int index) {
  const std::string name = std::string(1, static_cast<char>('a' + index));
  const std::vector<std::string> args{
      "--listen", "127.0.0.1:0", "--admin", "127.0.0.1:0", "--words", (dir / "words.lvk").string(),
      "--accounts", url, "--allow-private", "--threads", "1", "--deflate-level", "11",
      "--charge-spool", (dir / ("charges-" + name)).string(),
      // Behind the balancer every connection comes from one address, and
      // all of them are one account's.
      "--max-pending-per-address", "1000", "--max-account-connections", "1000"};
  Server s;
  s.process = std::make_unique<korvan::test::ChildProcess>(korvan::test::BinDir() / "korvan-server", args,
                                                           dir / ("server-" + name + ".txt"));
  for (int i = 0; i < 500; ++i) {
    const std::string text = s.process->Output();
    const auto port = PortAfter(text, "listening on 127.0.0.1:");
    const auto admin = PortAfter(text, "admin on 127.0.0.1:");
    if (port && admin) {
      s.port = *port;
      s.admin = *admin;
      return s;
    }
    std::this_thread::sleep_for(20ms);
  }
  throw std::runtime_error("korvan-server " + name + " did not start:\n" + s.process->Output());
}

// HAProxy in TCP mode in front of `servers`, as in deployment; returns once
// every one of them passes its health check.
std::unique_ptr<korvan::test::ChildProcess> StartBalancer(const fs::path& haproxy, const fs::path& dir,
                                                          const std::vector<const Server*>& servers,
                                                          std::uint16_t* front) {
  *front = korvan::server::test::ClosedPort();
  const fs::path socket = dir / "haproxy.sock";
  std::ofstream config(dir / "haproxy.cfg");
  config << "global\n  maxconn 4096\n  log stderr format raw local0\n"
         << "  stats socket " << socket.string() << " mode 600 level admin\n"
         << "defaults\n  mode tcp\n  log global\n"
         << "  timeout connect 1s\n  timeout client 120s\n  timeout server 120s\n  retries 3\n"
         << "frontend tunnel\n  bind 127.0.0.1:" << *front << "\n  default_backend korvan\n"
         << "backend korvan\n  balance roundrobin\n  option httpchk GET /healthz\n"
         << "  default-server inter 200ms fall 2 rise 2\n";
  for (std::size_t i = 0; i < servers.size(); ++i) {
    config << "  server s" << i << " 127.0.0.1:" << servers[i]->port << " check port " << servers[i]->admin << "\n";
  }
  config.close();
  auto balancer = std::make_unique<korvan::test::ChildProcess>(
      haproxy, std::vector<std::string>{"-db", "-f", (dir / "haproxy.cfg").string()}, dir / "haproxy.log");
  for (int i = 0; i < 250; ++i) {
    std::stringstream lines(UnixRequest(socket, "show stat\n"));
    std::size_t up = 0;
    for (std::string line; std::getline(lines, line);) {
      // Field 18 of a server's row is its status.
      if (line.rfind("korvan,s", 0) != 0) continue;
      std::stringstream fields(line);
      std::string field;
      for (int n = 0; n < 18 && std::getline(fields, field, ','); ++n) {
      }
      if (field == "UP") ++up;
    }
    if (up == servers.size()) return balancer;
    std::this_thread::sleep_for(20ms);
  }
  throw std::runtime_error("HAProxy did not see its servers up:\n" + korvan::test::ReadFileText(dir / "haproxy.log"));
}

// Serves `body` to every connection in pieces, then closes.
class Sender {
 public:
  explicit Sender(const std::string& body)
      : body_(body), server_([this](int fd) {
          constexpr std::size_t kPiece = 64 * 1024;
          for (std::size_t at = 0; at < body_.size(); at += kPiece) {
            if (!korvan::server::test::SendAllTo(fd, body_.data() + at, std::min(kPiece, body_.size() - at))) return;
          }
          ::shutdown(fd, SHUT_WR);
        }) {}
  std::uint16_t port() const { return server_.port(); }

 private:
  const std::string& body_;
  korvan::server::test::LoopbackServer server_;
};

// What the downloads of one configuration did, counted as bytes arrive.
class Load {
 public:
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> payload{0};  // checked bytes of data
  std::atomic<std::uint64_t> tunnel{0};   // bytes on the tunnel towards the client
  std::atomic<int> completed{0};

  void Fail(const std::string& problem) KORVAN_EXCLUDES(mutex_) {
    korvan::MutexLock lock(mutex_);
    if (problems_.size() < 5) problems_.push_back(problem);
    ++failures_;
  }
  int failures() const KORVAN_EXCLUDES(mutex_) {
    korvan::MutexLock lock(mutex_);
    return failures_;
  }
  std::vector<std::string> problems() const KORVAN_EXCLUDES(mutex_) {
    korvan::MutexLock lock(mutex_);
    return problems_;
  }

 private:
  mutable korvan::Mutex mutex_;
  std::vector<std::string> problems_ KORVAN_GUARDED_BY(mutex_);
  int failures_ KORVAN_GUARDED_BY(mutex_) = 0;
};

// Downloads `body` from the sender through the tunnel at `front` again and
// again until the load stops. Each piece is checked as it arrives and then
// dropped, so that 64 downloads of megabytes hold little memory; a download
// cut short by the stop is not a failure.
void Downloader(std::uint16_t front, std::uint16_t sender_port, const std::string& body, Load& load) {
  const std::string head = "Host: 127.0.0.1:" + std::to_string(sender_port) + "\r\n\r\n";
  while (!load.stop) {
    TunnelClient client(front);
    client.Open({}, korvan::Protocol::kTcpIp, head);
    std::size_t at = 0;
    bool wrong = false;
    client.ReadUntil(
        [&] {
          const std::string& data = client.data;
          if (at + data.size() > body.size() || std::memcmp(data.data(), body.data() + at, data.size()) != 0) {
            wrong = true;
          } else {
            at += data.size();
            load.payload += data.size();
          }
          load.tunnel += client.raw.size();
          client.data.clear();
          client.data_frames.clear();
          client.raw.clear();
          return wrong || load.stop.load();
        },
        120s);
    if (wrong) {
      load.Fail("wrong bytes after byte " + std::to_string(at));
    } else if (!client.controls.empty()) {
      load.Fail("refused: control " + std::to_string(client.controls[0].kind) + " " + client.controls[0].text());
    } else if (client.bad_frame) {
      load.Fail("a frame did not unpack after byte " + std::to_string(at));
    } else if (load.stop) {
      return;
    } else if (at != body.size()) {
      load.Fail("got " + std::to_string(at) + " of " + std::to_string(body.size()) + " bytes");
    } else {
      ++load.completed;
    }
    if (load.failures() > 0) std::this_thread::sleep_for(100ms);  // no storm of retries on a broken setup
  }
}

struct Watched {
  std::string name;
  pid_t pid;
};

struct Result {
  double payload_mb_s = 0;
  double tunnel_mb_s = 0;
  int completed = 0;
  int failures = 0;
  std::vector<std::string> problems;
  std::vector<double> cpu;  // % of one core, in the order of the watched processes
};

Result Measure(const Options& options, std::uint16_t front, std::uint16_t sender_port, const std::string& body,
               const std::vector<Watched>& watched) {
  Load load;
  std::vector<std::thread> threads;
  for (int i = 0; i < options.downloads; ++i) {
    threads.emplace_back(Downloader, front, sender_port, std::cref(body), std::ref(load));
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(options.warm_up_s));
  std::vector<double> cpu0;
  for (const auto& w : watched) cpu0.push_back(korvan::bench::CpuSeconds(w.pid));
  const std::uint64_t payload0 = load.payload;
  const std::uint64_t tunnel0 = load.tunnel;
  const int completed0 = load.completed;
  const auto start = SteadyClock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
  const double wall = Seconds(SteadyClock::now() - start);
  Result r;
  r.payload_mb_s = static_cast<double>(load.payload - payload0) / wall / 1e6;
  r.tunnel_mb_s = static_cast<double>(load.tunnel - tunnel0) / wall / 1e6;
  r.completed = load.completed - completed0;
  for (std::size_t i = 0; i < watched.size(); ++i) r.cpu.push_back(100 * (korvan::bench::CpuSeconds(watched[i].pid) - cpu0[i]) / wall);
  load.stop = true;
  for (auto& t : threads) t.join();
  r.failures = load.failures();
  r.problems = load.problems();
  return r;
}

std::string Ratio(double value, double base) {
  char text[32];
  if (base <= 0) return "n/a";
  std::snprintf(text, sizeof text, "%.2f x", value / base);
  return text;
}

void Print(const char* label, const Result& r, const Result& base, const std::vector<Watched>& watched) {
  std::printf("  %-22s %9.1f %10.1f %8s %9d ", label, r.payload_mb_s, r.tunnel_mb_s,
              Ratio(r.payload_mb_s, base.payload_mb_s).c_str(), r.completed);
  for (std::size_t i = 0; i < watched.size(); ++i) std::printf(" %s %.0f", watched[i].name.c_str(), r.cpu[i]);
  std::printf("\n");
  for (const auto& p : r.problems) std::printf("    FAILED download: %s\n", p.c_str());
  if (r.failures > static_cast<int>(r.problems.size())) {
    std::printf("    ... %d failed downloads in all\n", r.failures);
  }
}

int Usage() {
  std::fprintf(stderr, "usage: korvan_bench_cluster [--downloads C] [--size BYTES] [--seconds T] [--quick]\n");
  return 2;
}

int Run(const Options& options) {
  const auto haproxy = korvan::test::FindProgram("haproxy");
  if (!haproxy) {
    std::printf("skipped: haproxy is not installed (scripts/install-deps.sh installs it)\n");
    return 0;
  }
  if (::access((korvan::test::BinDir() / "korvan-server").c_str(), X_OK) != 0) {
    std::printf("skipped: %s is not built\n", (korvan::test::BinDir() / "korvan-server").c_str());
    return 0;
  }
  std::string why_not;
  auto database = korvan::test::PostgresCluster::Start(&why_not);
  if (!database) {
    std::printf("skipped: no PostgreSQL cluster: %s\n", why_not.c_str());
    return 0;
  }
  const fs::path dir = fs::temp_directory_path() / ("korvan-cluster-bench-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  // As root the database runs as `postgres`; the servers' spools are ours.
  struct Cleanup {
    fs::path dir;
    ~Cleanup() {
      std::error_code ec;
      fs::remove_all(dir, ec);
    }
  } cleanup{dir};

  const std::string url = database->url();
  {
    korvan::server::PostgresAccountStore store(url);
    korvan::server::Account account;
    account.id = kAccount;
    account.login = korvan::server::MakeLoginSecret(korvan::server::ProofOfPassword("demo"));
    account.credit_kib = 1e12;  // never the limit
    if (!store.Insert(account)) throw std::runtime_error("the account could not be stored");
  }
  {
    std::ofstream words(dir / "words.lvk", std::ios::binary);
    const auto bytes = korvan::SerializeWordListFile(*korvan::server::test::TestWords());
    words.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  const std::string body = Body(options.size);
  Sender sender(body);
  Server servers[2] = {StartServer(dir, url, 0), StartServer(dir, url, 1)};

  std::printf("two korvan-servers behind HAProxy (TCP mode) over one PostgreSQL database, against one alone\n");
  std::printf("  each server: --threads 1 (about one core's worth), --deflate-level 11\n");
  std::printf("  this machine: %u cores, shared by the servers, HAProxy, the database and the load generator\n",
              std::thread::hardware_concurrency());
  std::printf("  load: %d downloads at once, %zu bytes each of markup with 4 KiB of noise per 35 KiB page,\n"
              "        TCP/IP mappings to a local sender, started again as they end; %.0f s measured after %.0f s\n",
              options.downloads, options.size, options.seconds, options.warm_up_s);
  std::printf("  every byte is checked as it arrives, also of the downloads the window's end cuts short\n");
  std::printf("\n  %-22s %9s %10s %8s %9s  %s\n", "", "payload", "tunnel", "ratio", "completed",
              "CPU, % of one core");
  std::printf("  %-22s %9s %10s %8s %9s\n", "", "MB/s", "MB/s", "", "downloads");

  const std::vector<Watched> alone{{"server-a", servers[0].process->pid()}, {"bench", ::getpid()}};
  const Result base = Measure(options, servers[0].port, sender.port(), body, alone);
  Print("one server alone", base, base, alone);

  Result one;
  std::vector<Watched> one_watched;
  {
    std::uint16_t front = 0;
    const auto balancer = StartBalancer(*haproxy, dir, {&servers[0]}, &front);
    one_watched = {{"server-a", servers[0].process->pid()}, {"haproxy", balancer->pid()}, {"bench", ::getpid()}};
    one = Measure(options, front, sender.port(), body, one_watched);
  }
  Print("one behind HAProxy", one, base, one_watched);

  Result two;
  std::vector<Watched> two_watched;
  {
    std::uint16_t front = 0;
    const auto balancer = StartBalancer(*haproxy, dir, {&servers[0], &servers[1]}, &front);
    two_watched = {{"server-a", servers[0].process->pid()},
                   {"server-b", servers[1].process->pid()},
                   {"haproxy", balancer->pid()},
                   {"bench", ::getpid()}};
    two = Measure(options, front, sender.port(), body, two_watched);
  }
  Print("two behind HAProxy", two, base, two_watched);

  std::printf("\n  two behind HAProxy against one alone: %s (at least 1.8 x wanted where each server has a core of "
              "its own)\n",
              Ratio(two.payload_mb_s, base.payload_mb_s).c_str());
  std::printf("  the balancer's own cost, one behind HAProxy against one alone: %s\n",
              Ratio(one.payload_mb_s, base.payload_mb_s).c_str());
  for (auto& s : servers) s.process.reset();
  const int failures = base.failures + one.failures + two.failures;
  if (failures > 0) {
    std::printf("FAILED: %d downloads did not arrive intact\n", failures);
    return 1;
  }
  if (base.payload_mb_s <= 0 || one.payload_mb_s <= 0 || two.payload_mb_s <= 0) {
    std::printf("FAILED: nothing arrived in a window\n");
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--quick") {
      options.downloads = 16;
      options.size = 1u << 20;
      options.seconds = 4;
      options.warm_up_s = 1;
    } else if (arg == "--downloads") {
      const char* v = next();
      options.downloads = v ? std::atoi(v) : 0;
      if (options.downloads < 1 || options.downloads > 900) return Usage();
    } else if (arg == "--size") {
      const char* v = next();
      const long long size = v ? std::atoll(v) : 0;
      if (size < 1 || size > (1ll << 30)) return Usage();
      options.size = static_cast<std::size_t>(size);
    } else if (arg == "--seconds") {
      const char* v = next();
      options.seconds = v ? std::atof(v) : 0;
      if (!(options.seconds >= 1 && options.seconds <= 3600)) return Usage();
    } else {
      return Usage();
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  try {
    return Run(options);
  } catch (const std::exception& e) {
    std::printf("benchmark failed: %s\n", e.what());
    return 1;
  }
}
