// The embedded account store: one SQLite file.
//
// The file may be shared with `korvan-server account ...` run while the
// server is up: the database is in WAL mode and waits for a lock instead of
// failing at once.
//
// A file of the first schema, which kept each password's MD5, is rewritten
// when first opened: each account gets a salted hash of the proof its MD5
// gave (see server/password_hash.h), and the digests are overwritten. The
// schema's number is the file's user_version. Schema 2 adds the keys of
// applied charges, which make ApplyCharges idempotent; a file of schema 1
// gets the table when first opened.
//
// Thread rule: every method may be called from any thread (the sessions
// find and charge accounts from the server's loop threads). There is one
// SQLite connection per store, opened without SQLite's own locking, and
// `mutex_` guards it: each statement runs whole under the mutex.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "server/account_store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace korvan::server {

class SqliteAccountStore final : public AccountStore {
 public:
  enum class Mode { kOpenExisting, kCreateIfMissing };
  // Throws StoreError when the file cannot be opened, is not an account
  // file, or needs an upgrade that cannot be written.
  SqliteAccountStore(const std::filesystem::path& path, Mode mode);
  ~SqliteAccountStore() override;
  SqliteAccountStore(const SqliteAccountStore&) = delete;
  SqliteAccountStore& operator=(const SqliteAccountStore&) = delete;

  std::optional<Account> Find(std::int32_t id) override KORVAN_EXCLUDES(mutex_);
  bool Insert(const Account& account) override KORVAN_EXCLUDES(mutex_);
  bool Update(const Account& account) override KORVAN_EXCLUDES(mutex_);
  bool UpdateDetails(const Account& account) override KORVAN_EXCLUDES(mutex_);
  bool AddCredit(std::int32_t id, double kib) override KORVAN_EXCLUDES(mutex_);
  std::vector<Account> List() override KORVAN_EXCLUDES(mutex_);
  void Charge(std::int32_t id, const Traffic& traffic, bool charge) override KORVAN_EXCLUDES(mutex_);
  void ApplyCharges(std::span<const ChargeRecord> records) override KORVAN_EXCLUDES(mutex_);

 private:
  void Execute(const char* sql) KORVAN_REQUIRES(mutex_);
  // For the constructor: a store that failed to open holds no connection.
  [[noreturn]] void CloseAndThrow(const std::string& message) KORVAN_REQUIRES(mutex_);
  int SchemaVersion() KORVAN_REQUIRES(mutex_);
  // Brings a file of an older schema to the current one, in one transaction.
  void Upgrade() KORVAN_REQUIRES(mutex_);
  void MigrateFromMd5() KORVAN_REQUIRES(mutex_);
  void Check(int rc) KORVAN_REQUIRES(mutex_);

  Mutex mutex_;
  sqlite3* db_ KORVAN_GUARDED_BY(mutex_) = nullptr;
  sqlite3_stmt* find_ KORVAN_GUARDED_BY(mutex_) = nullptr;  // Find's, kept prepared
  // Old keys of applied charges are dropped now and then, not at every batch.
  std::chrono::steady_clock::time_point next_prune_ KORVAN_GUARDED_BY(mutex_){};
};

}  // namespace korvan::server
