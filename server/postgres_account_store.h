// The account store that several servers share: one PostgreSQL database.
//
// The store keeps a small pool of connections; a call takes one for its
// whole duration, so calls from different threads run side by side on
// different connections. Every call is bounded: connecting, waiting for a
// free connection and each statement together take about the call limit at
// most (the statements are also limited on the database's side). A call
// that fails throws StoreError and drops the connection it used; the next
// call connects anew, so the store carries on by itself once the database
// is back. After a failed connect, calls fail at once for about a second
// instead of each waiting out a time-out of its own.
//
// On open the store creates or upgrades its tables in one transaction under
// an advisory lock (two servers starting at once migrate once), and refuses
// a database whose schema is newer than this code.
//
// Credit and totals change by arithmetic updates only, so that charges from
// several servers at once all count. Connection leases are serialised per
// account by an advisory lock held for the transaction.
//
// Thread rule: every method may be called from any thread at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "server/account_store.h"

struct pg_conn;

namespace korvan::server {

struct PostgresStoreOptions {
  unsigned pool_size = 4;  // connections at most
  std::chrono::seconds lease_time{15};
  std::chrono::milliseconds call_limit{2000};
};

class PostgresAccountStore final : public AccountStore, public LeaseStore {
 public:
  // True for a postgresql:// or postgres:// URL.
  static bool IsUrl(const std::string& where);

  // Throws StoreError when `url` is not a usable URL, the database cannot
  // be reached, or its schema is newer than this code or cannot be made.
  explicit PostgresAccountStore(const std::string& url, PostgresStoreOptions options = {});
  ~PostgresAccountStore() override;
  PostgresAccountStore(const PostgresAccountStore&) = delete;
  PostgresAccountStore& operator=(const PostgresAccountStore&) = delete;

  std::optional<Account> Find(std::int32_t id) override KORVAN_EXCLUDES(mutex_);
  bool Insert(const Account& account) override KORVAN_EXCLUDES(mutex_);
  bool Update(const Account& account) override KORVAN_EXCLUDES(mutex_);
  bool UpdateDetails(const Account& account) override KORVAN_EXCLUDES(mutex_);
  bool AddCredit(std::int32_t id, double kib) override KORVAN_EXCLUDES(mutex_);
  std::vector<Account> List() override KORVAN_EXCLUDES(mutex_);
  void Charge(std::int32_t id, const Traffic& traffic, bool charge) override KORVAN_EXCLUDES(mutex_);
  void ApplyCharges(std::span<const ChargeRecord> records) override KORVAN_EXCLUDES(mutex_);
  LeaseStore* leases() override { return this; }

  bool TryHold(std::int32_t id, const std::string& server, unsigned count, unsigned limit) override
      KORVAN_EXCLUDES(mutex_);
  void Renew(const std::string& server, const std::map<std::int32_t, unsigned>& counts) override
      KORVAN_EXCLUDES(mutex_);
  unsigned Held(std::int32_t id) override KORVAN_EXCLUDES(mutex_);
  std::chrono::seconds lease_time() const override { return options_.lease_time; }

  // "HOST:PORT", as the messages name the database.
  const std::string& where() const { return where_; }

 private:
  struct Connection;
  class Call;

  // A connection for one call: an idle one that is still alive, else a new
  // one while the pool has room, else the first given back before
  // `deadline`.
  std::unique_ptr<Connection> Take(std::chrono::steady_clock::time_point deadline) KORVAN_EXCLUDES(mutex_);
  // Back into the pool when `healthy`, else closed.
  void Give(std::unique_ptr<Connection> connection, bool healthy) KORVAN_EXCLUDES(mutex_);
  std::unique_ptr<Connection> Connect(std::chrono::steady_clock::time_point deadline);
  void Migrate() KORVAN_EXCLUDES(mutex_);
  // Now and then, old keys of applied charges are dropped.
  bool PruneDue() KORVAN_EXCLUDES(mutex_);
  // `message` with the URL's password, if any, blotted out.
  std::string Scrub(std::string message) const;

  const PostgresStoreOptions options_;
  std::vector<const char*> keywords_;  // the connection's parameters, for libpq
  std::vector<std::string> values_;
  std::string where_;
  std::string password_;  // never shown: scrubbed out of every message

  Mutex mutex_;
  CondVar given_back_;
  std::vector<std::unique_ptr<Connection>> idle_ KORVAN_GUARDED_BY(mutex_);
  unsigned open_ KORVAN_GUARDED_BY(mutex_) = 0;  // idle ones and those lent out
  std::chrono::steady_clock::time_point quiet_until_ KORVAN_GUARDED_BY(mutex_){};
  std::string quiet_reason_ KORVAN_GUARDED_BY(mutex_);
  std::chrono::steady_clock::time_point next_prune_ KORVAN_GUARDED_BY(mutex_){};
};

}  // namespace korvan::server
