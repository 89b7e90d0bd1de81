// What the shared PostgreSQL account store costs the server, beside the
// SQLite file on the same machine, against a cluster the bench starts on
// loopback (durability off, as in the tests: the figures are the round
// trips and the statements, not the disk):
//   find/{pg,sqlite}          the look-up every login makes (Find of one
//                             account among 1001), from 1 and 4 threads
//   apply_charges/{pg,sqlite}/N  ApplyCharges of a batch of N records with
//                             fresh keys, one account each
//   charge/{pg,sqlite}        a plain Charge
//   try_hold/pg               a connection's admission under the shared limit
// Items per second are logins, or charge records, per second.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "server/postgres_account_store.h"
#include "server/sqlite_account_store.h"
#include "tests/support/postgres_cluster.h"

namespace {

using korvan::server::Account;
using korvan::server::AccountStore;
using korvan::server::ChargeRecord;

constexpr std::int32_t kFirstId = 100000000;
constexpr int kAccounts = 1001;

struct Fixture {
  std::unique_ptr<korvan::test::PostgresCluster> cluster;
  std::filesystem::path dir;
  std::shared_ptr<AccountStore> stores[2];  // PostgreSQL, SQLite
  std::atomic<std::uint64_t> next_key{0};
};
Fixture* g_fixture = nullptr;

void Fill(AccountStore& store) {
  for (int i = 0; i < kAccounts; ++i) {
    Account account;
    account.id = kFirstId + i;
    account.credit_kib = 1e12;
    account.login = korvan::server::MakeLoginSecret(korvan::server::ProofOfPassword("filler"),
                                                    korvan::server::ScryptParams{1, 1, 1});
    store.Insert(account);
  }
}

bool Prepare() {
  auto* f = new Fixture;
  std::string why_not;
  f->cluster = korvan::test::PostgresCluster::Start(&why_not);
  if (!f->cluster) {
    std::fprintf(stderr, "postgres store bench skipped: %s\n", why_not.c_str());
    delete f;
    return false;
  }
  f->dir = std::filesystem::temp_directory_path() / ("korvan-store-bench-" + std::to_string(::getpid()));
  std::filesystem::remove_all(f->dir);
  std::filesystem::create_directories(f->dir);
  f->stores[0] = std::make_shared<korvan::server::PostgresAccountStore>(f->cluster->url());
  f->stores[1] = std::make_shared<korvan::server::SqliteAccountStore>(
      f->dir / "accounts.db", korvan::server::SqliteAccountStore::Mode::kCreateIfMissing);
  for (const auto& store : f->stores) Fill(*store);
  g_fixture = f;
  return true;
}


void BM_Find(benchmark::State& state, int backend) {
  AccountStore& store = *g_fixture->stores[backend];
  const std::int32_t id = kFirstId + 500 + state.thread_index();
  for (auto _ : state) {
    const auto account = store.Find(id);
    if (!account) state.SkipWithError("the account is missing");
    benchmark::DoNotOptimize(account);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ApplyCharges(benchmark::State& state, int backend, std::size_t size) {
  AccountStore& store = *g_fixture->stores[backend];
  std::vector<ChargeRecord> batch(size);
  for (std::size_t i = 0; i < size; ++i) {
    batch[i].id = kFirstId + static_cast<std::int32_t>(i % kAccounts);
    batch[i].traffic = {100, 1024, 200, 2048};
  }
  // Fresh keys for every batch; making them costs well under a microsecond.
  for (auto _ : state) {
    for (auto& record : batch) record.key = "bench/" + std::to_string(g_fixture->next_key++);
    store.ApplyCharges(batch);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(size));
}

void BM_Charge(benchmark::State& state, int backend) {
  AccountStore& store = *g_fixture->stores[backend];
  for (auto _ : state) store.Charge(kFirstId + 7, {100, 1024, 200, 2048}, true);
  state.SetItemsProcessed(state.iterations());
}

// A connection's admission against the shared limit (PostgreSQL only).
void BM_TryHold(benchmark::State& state) {
  auto& leases = *g_fixture->stores[0]->leases();
  unsigned count = 0;
  for (auto _ : state) {
    if (!leases.TryHold(kFirstId + 9, "bench", count++ % 16 + 1, 32)) state.SkipWithError("refused");
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!Prepare()) return 0;
  for (int backend = 0; backend < 2; ++backend) {
    const std::string name = backend == 0 ? "pg" : "sqlite";
    benchmark::RegisterBenchmark(("find/" + name).c_str(), BM_Find, backend)
        ->Threads(1)
        ->Threads(4)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    for (const std::size_t size : {1, 64}) {
      benchmark::RegisterBenchmark(("apply_charges/" + name + "/" + std::to_string(size)).c_str(), BM_ApplyCharges,
                                   backend, size)
          ->UseRealTime()
          ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark(("charge/" + name).c_str(), BM_Charge, backend)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  }
  benchmark::RegisterBenchmark("try_hold/pg", BM_TryHold)->UseRealTime()->Unit(benchmark::kMicrosecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (auto& store : g_fixture->stores) store.reset();
  g_fixture->cluster.reset();
  std::error_code ec;
  std::filesystem::remove_all(g_fixture->dir, ec);
  delete g_fixture;
  return 0;
}
