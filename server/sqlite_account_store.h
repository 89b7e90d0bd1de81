// The embedded account store: one SQLite file.
//
// The file may be shared with `korvan-server account ...` run while the
// server is up: the database is in WAL mode and waits for a lock instead of
// failing at once. One connection per store, guarded by a mutex.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>

#include "server/account_store.h"

struct sqlite3;

namespace korvan::server {

class SqliteAccountStore final : public AccountStore {
 public:
  enum class Mode { kOpenExisting, kCreateIfMissing };
  // Throws StoreError when the file cannot be opened or is not an account file.
  SqliteAccountStore(const std::filesystem::path& path, Mode mode);
  ~SqliteAccountStore() override;
  SqliteAccountStore(const SqliteAccountStore&) = delete;
  SqliteAccountStore& operator=(const SqliteAccountStore&) = delete;

  std::optional<Account> Find(std::int32_t id) override;
  bool Insert(const Account& account) override;
  bool Update(const Account& account) override;
  std::vector<Account> List() override;
  void Charge(std::int32_t id, const Traffic& traffic, bool charge) override;

 private:
  void Execute(const char* sql);

  std::mutex mutex_;
  sqlite3* db_ = nullptr;
};

}  // namespace korvan::server
