// Opens the account store that `--accounts` names: a postgresql:// or
// postgres:// URL is the PostgreSQL database several servers share,
// anything else the path of a SQLite file.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "server/account_store.h"
#include "server/sqlite_account_store.h"

namespace korvan::server {

// `mode` matters for a file only: a database's tables are always made when
// missing (the database itself must exist). `lease_time` is how long a
// shared store counts a server's connections without hearing from it.
// Throws StoreError.
std::shared_ptr<AccountStore> OpenAccountStore(const std::string& where, SqliteAccountStore::Mode mode,
                                               std::chrono::seconds lease_time = std::chrono::seconds(15));

}  // namespace korvan::server
