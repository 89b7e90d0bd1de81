#include "server/account_store_factory.h"

#include "server/postgres_account_store.h"

namespace korvan::server {

std::shared_ptr<AccountStore> OpenAccountStore(const std::string& where, SqliteAccountStore::Mode mode,
                                               std::chrono::seconds lease_time) {
  if (PostgresAccountStore::IsUrl(where)) {
    PostgresStoreOptions options;
    options.lease_time = lease_time;
    return std::make_shared<PostgresAccountStore>(where, options);
  }
  return std::make_shared<SqliteAccountStore>(where, mode);
}

}  // namespace korvan::server
