#include "server/account_store_factory.h"

#include "server/postgres_account_store.h"

namespace korvan::server {

std::shared_ptr<AccountStore> OpenAccountStore(const std::string& where, SqliteAccountStore::Mode mode) {
  if (PostgresAccountStore::IsUrl(where)) return std::make_shared<PostgresAccountStore>(where);
  return std::make_shared<SqliteAccountStore>(where, mode);
}

}  // namespace korvan::server
