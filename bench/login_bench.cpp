// What a login costs the server per tunnel connection, in the same run:
//   today_md5_prefix  the account file of MD5 digests: the row read as that
//                     store read it, then the five proof bytes compared
//   md5_prefix_kept_statement  the same with the look-up's statement kept
//                     prepared, as the new store keeps it
//   cached_verify     the salted-hash store: the row read, then the proof
//                     checked through the login cache, warm
//   cold_verify       the same on a miss: the row read, then scrypt
//   tunnel_connection a whole account query to a real korvan-server on
//                     loopback (connect, opening, login, reply, close)
// and, to show where cached_verify's time goes, its two halves apart
// (find_only, cache_hit_only). Every store holds 1001 accounts. The summary
// prints each against today; cached / today should be at most 1.10.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "bench/bench_sockets.h"
#include "common/mutex.h"
#include "server/log.h"
#include "server/login_verifier.h"
#include "server/server.h"
#include "server/sqlite_account_store.h"
#include "wire/opening.h"

namespace {

using korvan::server::Account;
using korvan::server::LoginProof;

constexpr std::int32_t kLoginId = 100000500;
constexpr int kAccounts = 1001;
constexpr char kPassword[] = "bench-password";

void Check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
}

// The MD5 store as it was: one connection under a mutex, the row fetched
// with a statement prepared for each look-up, every column read.
class Md5Store {
 public:
  explicit Md5Store(const std::filesystem::path& path) {
    Check(
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr),
        db_);
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=NORMAL");
    Exec(
        "CREATE TABLE accounts (id INTEGER PRIMARY KEY, password_md5 BLOB NOT NULL,"
        " credit_kib REAL NOT NULL DEFAULT 0, prepaid_until TEXT, valid_until TEXT,"
        " further_byte INTEGER NOT NULL DEFAULT 0, sent_raw INTEGER NOT NULL DEFAULT 0,"
        " sent_wire INTEGER NOT NULL DEFAULT 0, received_raw INTEGER NOT NULL DEFAULT 0,"
        " received_wire INTEGER NOT NULL DEFAULT 0)");
  }
  ~Md5Store() {
    sqlite3_finalize(kept_);
    sqlite3_close(db_);
  }

  void Insert(std::int32_t id, const std::array<std::uint8_t, 16>& md5) {
    sqlite3_stmt* s = nullptr;
    Check(sqlite3_prepare_v2(db_, "INSERT INTO accounts (id, password_md5, credit_kib) VALUES (?1, ?2, 1e6)", -1, &s,
                             nullptr),
          db_);
    sqlite3_bind_int64(s, 1, id);
    sqlite3_bind_blob(s, 2, md5.data(), static_cast<int>(md5.size()), SQLITE_TRANSIENT);
    Check(sqlite3_step(s), db_);
    sqlite3_finalize(s);
  }
  void Exec(const char* sql) { Check(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), db_); }

  // The account's digest, read with the rest of its row; `keep` keeps the
  // statement prepared, as the new store does, for a like-for-like figure.
  std::optional<std::array<std::uint8_t, 16>> Find(std::int32_t id, bool keep = false) {
    korvan::MutexLock lock(mutex_);
    sqlite3_stmt* s = keep ? kept_ : nullptr;
    if (s == nullptr) {
      Check(sqlite3_prepare_v2(db_,
                               "SELECT id, password_md5, credit_kib, prepaid_until, valid_until, further_byte,"
                               " sent_raw, sent_wire, received_raw, received_wire FROM accounts WHERE id = ?1",
                               -1, &s, nullptr),
            db_);
      if (keep) kept_ = s;
    }
    sqlite3_bind_int64(s, 1, id);
    std::optional<std::array<std::uint8_t, 16>> md5;
    if (sqlite3_step(s) == SQLITE_ROW) {
      md5.emplace();
      const void* blob = sqlite3_column_blob(s, 1);
      if (blob != nullptr && sqlite3_column_bytes(s, 1) == 16) std::memcpy(md5->data(), blob, 16);
      double sink = sqlite3_column_double(s, 2);
      sink += sqlite3_column_text(s, 3) != nullptr ? 1 : 0;
      sink += sqlite3_column_text(s, 4) != nullptr ? 1 : 0;
      for (int c = 5; c < 10; ++c) sink += static_cast<double>(sqlite3_column_int64(s, c));
      benchmark::DoNotOptimize(sink);
    }
    if (keep) {
      sqlite3_reset(s);
    } else {
      sqlite3_finalize(s);
    }
    return md5;
  }

 private:
  korvan::Mutex mutex_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* kept_ = nullptr;
};

std::array<std::uint8_t, 16> Md5Of(std::string_view text) {
  std::array<std::uint8_t, 16> digest{};
  unsigned int size = 0;
  EVP_Digest(text.data(), text.size(), digest.data(), &size, EVP_md5(), nullptr);
  return digest;
}

struct Fixture {
  std::filesystem::path dir;
  std::unique_ptr<Md5Store> md5_store;
  std::shared_ptr<korvan::server::SqliteAccountStore> store;
  korvan::server::LoginVerifier verifier;
  LoginProof proof = korvan::server::ProofOfPassword(kPassword);
};
Fixture* g_fixture = nullptr;

void Prepare() {
  auto* f = new Fixture;
  f->dir = std::filesystem::temp_directory_path() / ("korvan-login-bench-" + std::to_string(::getpid()));
  std::filesystem::remove_all(f->dir);
  std::filesystem::create_directories(f->dir);
  f->md5_store = std::make_unique<Md5Store>(f->dir / "md5.db");
  f->store = std::make_shared<korvan::server::SqliteAccountStore>(
      f->dir / "accounts.db", korvan::server::SqliteAccountStore::Mode::kCreateIfMissing);
  f->md5_store->Exec("BEGIN");
  for (int i = 0; i < kAccounts; ++i) {
    const std::int32_t id = 100000000 + i;
    const std::string password = id == kLoginId ? kPassword : "filler" + std::to_string(i);
    f->md5_store->Insert(id, Md5Of(password));
    Account account;
    account.id = id;
    account.credit_kib = 1e6;
    // The fillers' cost of scrypt does not matter, only the size of their rows.
    account.login = korvan::server::MakeLoginSecret(
        korvan::server::ProofOfPassword(password),
        id == kLoginId ? korvan::server::kDefaultScrypt : korvan::server::ScryptParams{1, 1, 1});
    f->store->Insert(account);
  }
  f->md5_store->Exec("COMMIT");
  g_fixture = f;
}

void BM_TodayMd5Prefix(benchmark::State& state) {
  Fixture& f = *g_fixture;
  const bool keep = state.range(0) != 0;
  for (auto _ : state) {
    const auto md5 = f.md5_store->Find(kLoginId, keep);
    const bool ok = md5 && std::equal(f.proof.begin(), f.proof.end(), md5->begin());
    if (!ok) state.SkipWithError("the MD5 login failed");
    benchmark::DoNotOptimize(ok);
  }
}

void BM_CachedVerify(benchmark::State& state) {
  Fixture& f = *g_fixture;
  f.verifier.Verify(*f.store->Find(kLoginId), f.proof);  // warm
  for (auto _ : state) {
    const auto account = f.store->Find(kLoginId);
    const bool ok = account && f.verifier.Verify(*account, f.proof);
    if (!ok) state.SkipWithError("the cached login failed");
    benchmark::DoNotOptimize(ok);
  }
}

// The two halves of cached_verify apart.
void BM_FindOnly(benchmark::State& state) {
  Fixture& f = *g_fixture;
  for (auto _ : state) benchmark::DoNotOptimize(f.store->Find(kLoginId));
}

void BM_CacheHitOnly(benchmark::State& state) {
  Fixture& f = *g_fixture;
  const Account account = *f.store->Find(kLoginId);
  f.verifier.Verify(account, f.proof);
  for (auto _ : state) benchmark::DoNotOptimize(f.verifier.Verify(account, f.proof));
}

void BM_ColdVerify(benchmark::State& state) {
  Fixture& f = *g_fixture;
  for (auto _ : state) {
    const auto account = f.store->Find(kLoginId);
    const bool ok = account && account->login && korvan::server::VerifyLoginSecret(*account->login, f.proof);
    if (!ok) state.SkipWithError("the cold login failed");
    benchmark::DoNotOptimize(ok);
  }
}

void BM_TunnelConnection(benchmark::State& state) {
  Fixture& f = *g_fixture;
  korvan::server::ServerConfig config;
  config.listen = {"127.0.0.1", 0};
  config.accounts = f.dir / "accounts.db";
  auto words = std::make_shared<const korvan::WordList>(2, std::vector<std::string>{"HTTP/1.1 ", "\r\n\r\n"});
  korvan::server::Server server(config, words, f.store);
  server.Start();
  std::thread loop([&] { server.Run(); });
  const std::uint16_t port = server.endpoint().port();
  const auto opening = korvan::BuildOpening(korvan::MakeLoginBlock(kLoginId, kPassword, 2, 0), 0xF7, 0,
                                            korvan::MakeServiceByte(korvan::Protocol::kAccountQuery, 0), false);
  for (auto _ : state) {
    const int fd = korvan::bench::ConnectLoopback(port);
    std::array<std::uint8_t, 58> reply{};
    const bool ok = fd >= 0 && korvan::bench::SendAll(fd, opening.data(), opening.size()) &&
                    korvan::bench::RecvExact(fd, reply.data(), reply.size());
    std::uint8_t more = 0;
    if (fd >= 0) {
      while (::recv(fd, &more, 1, 0) > 0) {
      }
      ::close(fd);
    }
    if (!ok) state.SkipWithError("the account query failed");
  }
  server.Stop();
  loop.join();
}

// Keeps the wall time per call of every benchmark for the summary: the
// median of its repetitions, which a busy machine disturbs less than a
// single run.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      const bool single = run.run_type == Run::RT_Iteration && seconds.count(run.run_name.function_name) == 0;
      if (median || single) {
        seconds[run.run_name.function_name] =
            run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  korvan::server::SetLogEnabled(false);
  Prepare();
  const auto add = [](const char* name, void (*function)(benchmark::State&), benchmark::TimeUnit unit) {
    return benchmark::RegisterBenchmark(name, function)->Unit(unit)->Repetitions(5)->DisplayAggregatesOnly();
  };
  add("login/today_md5_prefix", BM_TodayMd5Prefix, benchmark::kMicrosecond)->Arg(0);
  add("login/md5_prefix_kept_statement", BM_TodayMd5Prefix, benchmark::kMicrosecond)->Arg(1);
  add("login/cached_verify", BM_CachedVerify, benchmark::kMicrosecond);
  add("login/find_only", BM_FindOnly, benchmark::kMicrosecond);
  add("login/cache_hit_only", BM_CacheHitOnly, benchmark::kMicrosecond);
  add("login/cold_verify", BM_ColdVerify, benchmark::kMillisecond);
  add("login/tunnel_connection", BM_TunnelConnection, benchmark::kMicrosecond);
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto get = [&](const std::string& name) {
    const auto it = reporter.seconds.find("login/" + name);
    return it == reporter.seconds.end() ? 0.0 : it->second;
  };
  const double today = get("today_md5_prefix");
  std::printf("\n%-26s %12s %8s\n", "login", "per call", "x today");
  for (const char* name : {"today_md5_prefix", "md5_prefix_kept_statement", "cached_verify", "find_only",
                           "cache_hit_only", "cold_verify", "tunnel_connection"}) {
    const double t = get(name);
    std::printf("%-26s %9.2f us %8.2f\n", name, t * 1e6, today > 0 ? t / today : 0.0);
  }
  const double kept = get("md5_prefix_kept_statement");
  std::printf("cached / today: at most 1.10 wanted\n");
  std::printf("cached / md5_prefix_kept_statement (the secret check alone, same look-up): %.2f\n",
              kept > 0 ? get("cached_verify") / kept : 0.0);
  g_fixture->store.reset();
  g_fixture->md5_store.reset();
  std::error_code ec;
  std::filesystem::remove_all(g_fixture->dir, ec);
  delete g_fixture;
  return 0;
}
