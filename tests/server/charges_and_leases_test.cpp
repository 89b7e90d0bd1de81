// The charge queue (nothing lost, nothing charged twice, kept over a
// restart) and the connection registry shared through leases. The stores
// here are in memory and fail on demand; the PostgreSQL store carries both
// in the cluster tests.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "common/mutex.h"
#include "server/charge_queue.h"
#include "server/connection_registry.h"
#include "tests/server/server_fixture.h"

namespace korvan::server::test {
namespace {

using namespace std::chrono_literals;

// Accounts in memory that apply each key once, as the real stores do, and
// fail when told to: before applying (the database is down) or after (the
// answer was lost on its way back).
class MemoryStore final : public AccountStore {
 public:
  enum class Failure { kNone, kDown, kAnswerLost };

  void SetFailure(Failure failure) {
    MutexLock lock(mutex_);
    failure_ = failure;
  }
  Traffic Totals(std::int32_t id) {
    MutexLock lock(mutex_);
    return accounts_[id].totals;
  }
  double Credit(std::int32_t id) {
    MutexLock lock(mutex_);
    return accounts_[id].credit_kib;
  }
  // Every key of every attempt, in order.
  std::vector<std::string> Attempts() {
    MutexLock lock(mutex_);
    return attempts_;
  }

  std::optional<Account> Find(std::int32_t id) override {
    MutexLock lock(mutex_);
    const auto it = accounts_.find(id);
    if (it == accounts_.end()) return std::nullopt;
    return it->second;
  }
  bool Insert(const Account& account) override {
    MutexLock lock(mutex_);
    return accounts_.emplace(account.id, account).second;
  }
  bool Update(const Account&) override { return false; }
  bool UpdateDetails(const Account&) override { return false; }
  bool AddCredit(std::int32_t, double) override { return false; }
  std::vector<Account> List() override { return {}; }
  void Charge(std::int32_t, const Traffic&, bool) override {}
  void ApplyCharges(std::span<const ChargeRecord> records) override {
    MutexLock lock(mutex_);
    for (const auto& r : records) attempts_.push_back(r.key);
    if (failure_ == Failure::kDown) throw StoreError("the database is down");
    for (const auto& r : records) {
      if (!applied_.insert(r.key).second) continue;
      const auto it = accounts_.find(r.id);
      if (it == accounts_.end()) continue;
      it->second.totals += r.traffic;
      if (r.charge) {
        it->second.credit_kib = std::max(0.0, it->second.credit_kib - r.traffic.wire_bytes() / 1024.0);
      }
    }
    if (failure_ == Failure::kAnswerLost) throw StoreError("connection lost while committing");
  }

 private:
  Mutex mutex_;
  std::map<std::int32_t, Account> accounts_ KORVAN_GUARDED_BY(mutex_);
  std::set<std::string> applied_ KORVAN_GUARDED_BY(mutex_);
  std::vector<std::string> attempts_ KORVAN_GUARDED_BY(mutex_);
  Failure failure_ KORVAN_GUARDED_BY(mutex_) = Failure::kNone;
};

constexpr std::int32_t kFirst = 100000001;
constexpr std::int32_t kSecond = 100000002;

Traffic Bytes(std::int64_t sent, std::int64_t received) { return Traffic{sent * 3, sent, received * 3, received}; }

class ChargeQueueTest : public ::testing::Test {
 protected:
  ChargeQueueTest() {
    for (const auto id : {kFirst, kSecond}) {
      Account account;
      account.id = id;
      account.credit_kib = 1000;
      store_.Insert(account);
    }
    options_.interval = 10ms;
    options_.longest_retry = 40ms;
    options_.final_flush = 300ms;
  }
  ~ChargeQueueTest() override { std::filesystem::remove_all(dir_); }

  MemoryStore store_;
  ChargeQueue::Options options_;
  std::filesystem::path dir_ = MakeTempDir();
};

TEST_F(ChargeQueueTest, ChargesFromManyThreadsLandExactlyAndFlushWaitsForThem) {
  ChargeQueue queue(store_, options_);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&queue, t] {
      for (int i = 0; i < 500; ++i) queue.Add(t % 2 ? kFirst : kSecond, Bytes(1, 2), /*charge=*/t % 4 != 3);
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(queue.Flush(5s));
  EXPECT_EQ(queue.Waiting(), 0u);
  EXPECT_EQ(store_.Totals(kFirst).sent_wire, 2000);
  EXPECT_EQ(store_.Totals(kFirst).received_raw, 12000);
  EXPECT_EQ(store_.Totals(kSecond).received_wire, 4000);
  // kFirst: every thread charges (t = 1, 5; 3, 7 are not charged): 1000 Adds x 3 B.
  EXPECT_DOUBLE_EQ(store_.Credit(kFirst), 1000 - 1000 * 3 / 1024.0);
  EXPECT_DOUBLE_EQ(store_.Credit(kSecond), 1000 - 2000 * 3 / 1024.0);
  // Merged: far fewer records than Add calls.
  EXPECT_LT(store_.Attempts().size(), 400u);
}

TEST_F(ChargeQueueTest, ChargesLandByThemselvesSoonAfterAQuietTime) {
  ChargeQueue queue(store_, options_);
  for (int round = 1; round <= 2; ++round) {
    std::this_thread::sleep_for(50ms);  // the writer has nothing to do
    queue.Add(kFirst, Bytes(1, 1), true);
    for (int i = 0; i < 200 && store_.Totals(kFirst).sent_wire < round; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(store_.Totals(kFirst).sent_wire, round) << "no Flush, and the charge never left";
  }
}

TEST_F(ChargeQueueTest, ADownStoreKeepsTheChargesAndGetsThemWithTheSameKeysOnceItIsBack) {
  ChargeQueue queue(store_, options_);
  std::atomic<int> failures{0}, landed{0};
  queue.OnWrite([&](std::size_t records, const std::string& failure) {
    (failure.empty() ? landed : failures) += failure.empty() ? static_cast<int>(records) : 1;
  });
  store_.SetFailure(MemoryStore::Failure::kDown);
  queue.Add(kFirst, Bytes(100, 1000), true);
  EXPECT_FALSE(queue.Flush(200ms));
  EXPECT_GE(failures.load(), 2);
  EXPECT_EQ(queue.Waiting(), 1u);
  queue.Add(kFirst, Bytes(1, 0), true);  // goes into a later batch: the failed one keeps its keys
  store_.SetFailure(MemoryStore::Failure::kNone);
  ASSERT_TRUE(queue.Flush(5s));
  EXPECT_EQ(store_.Totals(kFirst).sent_wire, 101);
  EXPECT_EQ(store_.Totals(kFirst).received_wire, 1000);
  const auto attempts = store_.Attempts();
  ASSERT_GE(attempts.size(), 3u);
  // Every try of the first batch named the same record.
  const std::size_t first_key_tries = std::count(attempts.begin(), attempts.end(), attempts.front());
  EXPECT_GE(first_key_tries, 3u);
  EXPECT_EQ(landed.load(), 2);
}

TEST_F(ChargeQueueTest, AnAnswerLostAfterTheCommitIsNotChargedTwice) {
  ChargeQueue queue(store_, options_);
  store_.SetFailure(MemoryStore::Failure::kAnswerLost);
  queue.Add(kSecond, Bytes(512, 512), true);
  EXPECT_FALSE(queue.Flush(100ms));
  store_.SetFailure(MemoryStore::Failure::kNone);
  ASSERT_TRUE(queue.Flush(5s));
  EXPECT_EQ(store_.Totals(kSecond).sent_wire, 512);
  EXPECT_DOUBLE_EQ(store_.Credit(kSecond), 999);
}

TEST_F(ChargeQueueTest, ChargesLeftAtTheEndAreSpooledAndWrittenByTheNextStartOnce) {
  options_.spool = dir_ / "charges.spool";
  store_.SetFailure(MemoryStore::Failure::kDown);
  {
    ChargeQueue queue(store_, options_);
    queue.Add(kFirst, Bytes(7, 70), true);
    queue.Add(kSecond, Bytes(9, 90), false);
  }  // gives up after its final flush time and spools
  ASSERT_TRUE(std::filesystem::exists(options_.spool));
  // A crash after the charges landed but before the spool went would leave
  // it behind: the copy is replayed below and must change nothing.
  std::filesystem::copy_file(options_.spool, dir_ / "copy");
  store_.SetFailure(MemoryStore::Failure::kNone);
  {
    ChargeQueue queue(store_, options_);
    EXPECT_TRUE(queue.Flush(5s));
    for (int i = 0; i < 100 && std::filesystem::exists(options_.spool); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(std::filesystem::exists(options_.spool)) << "the spool stays once its charges landed";
  }
  std::filesystem::copy_file(dir_ / "copy", options_.spool);
  {
    ChargeQueue queue(store_, options_);
    for (int i = 0; i < 200 && queue.Waiting() > 0; ++i) std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(store_.Totals(kFirst).received_wire, 70);
  EXPECT_EQ(store_.Totals(kSecond).sent_wire, 9);
  EXPECT_DOUBLE_EQ(store_.Credit(kFirst), 1000 - 77 / 1024.0);
  EXPECT_DOUBLE_EQ(store_.Credit(kSecond), 1000);  // prepaid traffic: totals only
}

TEST_F(ChargeQueueTest, ADamagedSpoolStopsTheStartAndIsLeftAsItWas) {
  options_.spool = dir_ / "charges.spool";
  const std::string damaged = "korvan-charges 1\nk-1 100000001 1 1 2 3 4\nk-2 100000001 1 1 2 x 4\n";
  std::ofstream(options_.spool) << damaged;
  try {
    ChargeQueue queue(store_, options_);
    FAIL() << "a damaged spool was taken";
  } catch (const StoreError& e) {
    EXPECT_NE(std::string(e.what()).find("line 3"), std::string::npos) << e.what();
  }
  std::ifstream in(options_.spool);
  std::stringstream kept;
  kept << in.rdbuf();
  EXPECT_EQ(kept.str(), damaged);
  EXPECT_EQ(store_.Totals(kFirst).sent_wire, 0);

  std::ofstream(options_.spool) << "something else\n";
  EXPECT_THROW(ChargeQueue(store_, options_), StoreError);
}

// Leases of several servers in memory, expiring on the store's clock.
class MemoryLeases final : public LeaseStore {
 public:
  bool TryHold(std::int32_t id, const std::string& server, unsigned count, unsigned limit) override {
    MutexLock lock(mutex_);
    if (down_) throw StoreError("the database is down");
    unsigned others = 0;
    for (const auto& [key, lease] : leases_) {
      if (key.second == id && key.first != server && lease.second > Now()) others += lease.first;
    }
    if (others + count > limit) return false;
    leases_[{server, id}] = {count, Now() + lease_time()};
    return true;
  }
  void Renew(const std::string& server, const std::map<std::int32_t, unsigned>& counts) override {
    MutexLock lock(mutex_);
    if (down_) throw StoreError("the database is down");
    std::erase_if(leases_, [&](const auto& entry) { return entry.first.first == server; });
    for (const auto& [id, count] : counts) leases_[{server, id}] = {count, Now() + lease_time()};
  }
  unsigned Held(std::int32_t id) override {
    MutexLock lock(mutex_);
    unsigned held = 0;
    for (const auto& [key, lease] : leases_) {
      if (key.second == id && lease.second > Now()) held += lease.first;
    }
    return held;
  }
  std::chrono::seconds lease_time() const override { return 1s; }
  void SetDown(bool down) {
    MutexLock lock(mutex_);
    down_ = down;
  }

 private:
  static std::chrono::steady_clock::time_point Now() { return std::chrono::steady_clock::now(); }
  Mutex mutex_;
  std::map<std::pair<std::string, std::int32_t>, std::pair<unsigned, std::chrono::steady_clock::time_point>> leases_
      KORVAN_GUARDED_BY(mutex_);
  bool down_ KORVAN_GUARDED_BY(mutex_) = false;
};

template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds limit = 3000ms) {
  for (auto waited = 0ms; waited < limit; waited += 10ms) {
    if (condition()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return condition();
}

TEST(SharedConnectionLimit, HoldsOverTwoServersAndAReleasedSlotPassesToTheOther) {
  MemoryLeases leases;
  ConnectionRegistry first, second;
  first.Share(leases, "first");
  second.Share(leases, "second");
  std::deque<ConnectionRegistry::Claim> held;
  for (int i = 0; i < 3; ++i) held.push_back(std::move(*first.TryClaim(kFirst, 5)));
  for (int i = 0; i < 2; ++i) held.push_back(std::move(*second.TryClaim(kFirst, 5)));
  EXPECT_FALSE(first.TryClaim(kFirst, 5));
  EXPECT_FALSE(second.TryClaim(kFirst, 5));
  EXPECT_EQ(first.Count(kFirst), 3u) << "a refused lease gives its local slot back";
  EXPECT_TRUE(second.TryClaim(kSecond, 5)) << "another account is not limited";
  held.pop_front();  // one of the first server's ends
  ASSERT_TRUE(Eventually([&] { return leases.Held(kFirst) == 4; })) << "the release reaches the store soon";
  auto taken = second.TryClaim(kFirst, 5);
  EXPECT_TRUE(taken);
}

TEST(SharedConnectionLimit, ADeadServersLeasesExpireAndAStoppedOneGivesItsBack) {
  MemoryLeases leases;
  ConnectionRegistry survivor;
  survivor.Share(leases, "survivor");
  // A server that died holding two: nobody renews its leases.
  ASSERT_TRUE(leases.TryHold(kFirst, "dead", 2, 2));
  EXPECT_FALSE(survivor.TryClaim(kFirst, 2));
  ASSERT_TRUE(Eventually([&] { return leases.Held(kFirst) == 0; }));
  auto claim = survivor.TryClaim(kFirst, 2);
  ASSERT_TRUE(claim);
  // The survivor's own lease outlives the lease time: it is renewed.
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(leases.Held(kFirst), 1u);
  {
    auto stopping = std::make_unique<ConnectionRegistry>();
    stopping->Share(leases, "stopping");
    ASSERT_TRUE(stopping->TryClaim(kSecond, 2));  // claimed and released at once
    auto kept = stopping->TryClaim(kSecond, 2);
    ASSERT_TRUE(kept);
    kept.reset();
  }
  EXPECT_EQ(leases.Held(kSecond), 0u) << "a server that stops gives its leases back";
}

TEST(SharedConnectionLimit, AStoreThatCannotTellRefusesWithAnErrorAndKeepsNoSlot) {
  MemoryLeases leases;
  ConnectionRegistry registry;
  registry.Share(leases, "only");
  leases.SetDown(true);
  EXPECT_THROW(registry.TryClaim(kFirst, 4), StoreError);
  EXPECT_EQ(registry.Count(kFirst), 0u);
  leases.SetDown(false);
  EXPECT_TRUE(registry.TryClaim(kFirst, 4));
}

}  // namespace
}  // namespace korvan::server::test
