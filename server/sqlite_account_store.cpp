#include "server/sqlite_account_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

namespace korvan::server {

namespace {

// Schema 1 keeps a salted scrypt hash of the login proof; schema 0 (no
// user_version) kept the password's MD5 in password_md5 and is rewritten
// into this one when first opened. Schema 2 adds the keys of applied
// charges.
constexpr int kSchemaVersion = 2;

constexpr const char kAppliedCharges[] =
    "CREATE TABLE applied_charges (key TEXT PRIMARY KEY, applied INTEGER NOT NULL);"
    "CREATE INDEX applied_charges_by_time ON applied_charges (applied)";

// Keys of applied charges are kept far longer than any retry takes.
constexpr std::int64_t kKeyLifetimeSeconds = 7 * 24 * 3600;
constexpr auto kPruneEvery = std::chrono::hours(1);

// Credit changes by the tunnel bytes in KiB and never goes below zero; an
// arithmetic update keeps concurrent charges from other processes intact.
constexpr const char kChargeSql[] =
    "UPDATE accounts SET credit_kib = MAX(credit_kib - ?2, 0), sent_raw = sent_raw + ?3,"
    " sent_wire = sent_wire + ?4, received_raw = received_raw + ?5,"
    " received_wire = received_wire + ?6 WHERE id = ?1";

// `%s` is the table's name: the upgrade builds the new table beside the old.
constexpr const char kSchema[] =
    "CREATE TABLE %s ("
    " id INTEGER PRIMARY KEY,"
    " login_salt BLOB,"
    " login_hash BLOB,"
    " scrypt_log2_n INTEGER,"
    " scrypt_r INTEGER,"
    " scrypt_p INTEGER,"
    " credit_kib REAL NOT NULL DEFAULT 0,"
    " prepaid_until TEXT,"
    " valid_until TEXT,"
    " further_byte INTEGER NOT NULL DEFAULT 0,"
    " sent_raw INTEGER NOT NULL DEFAULT 0,"
    " sent_wire INTEGER NOT NULL DEFAULT 0,"
    " received_raw INTEGER NOT NULL DEFAULT 0,"
    " received_wire INTEGER NOT NULL DEFAULT 0)";

constexpr const char kColumns[] =
    "id, login_salt, login_hash, scrypt_log2_n, scrypt_r, scrypt_p, credit_kib, prepaid_until, valid_until,"
    " further_byte, sent_raw, sent_wire, received_raw, received_wire";

// What schema 0 and schema 1 have in common, copied as it is.
constexpr const char kKeptColumns[] =
    "id, credit_kib, prepaid_until, valid_until, further_byte, sent_raw, sent_wire, received_raw, received_wire";

std::string SchemaFor(const char* table) {
  std::string sql = kSchema;
  sql.replace(sql.find("%s"), 2, table);
  return sql;
}

// A prepared statement that finalizes itself, or one kept by the store that
// is made ready for its next use instead.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) {
      throw StoreError(std::string("account store: ") + sqlite3_errmsg(db));
    }
  }
  Statement(sqlite3* db, sqlite3_stmt* kept) : db_(db), stmt_(kept), kept_(true) {}
  ~Statement() {
    if (!kept_) {
      sqlite3_finalize(stmt_);
      return;
    }
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  void Bind(int index, std::int64_t value) { Check(sqlite3_bind_int64(stmt_, index, value)); }
  void Bind(int index, double value) { Check(sqlite3_bind_double(stmt_, index, value)); }
  void Bind(int index, const std::optional<Date>& date) {
    if (!date) {
      Check(sqlite3_bind_null(stmt_, index));
    } else {
      Check(sqlite3_bind_text(stmt_, index, FormatDate(*date).c_str(), -1, SQLITE_TRANSIENT));
    }
  }
  void BindBlob(int index, const void* data, int size) {
    Check(sqlite3_bind_blob(stmt_, index, data, size, SQLITE_TRANSIENT));
  }
  void BindNull(int index) { Check(sqlite3_bind_null(stmt_, index)); }
  // Ready to run again with new values.
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  // True while rows come; false when done.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw StoreError(std::string("account store: ") + sqlite3_errmsg(db_));
  }
  int Changes() const { return sqlite3_changes(db_); }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) throw StoreError(std::string("account store: ") + sqlite3_errmsg(db_));
  }
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  bool kept_ = false;
};

std::optional<Date> ColumnDate(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  if (text == nullptr) return std::nullopt;
  return ParseDate(reinterpret_cast<const char*>(text));
}

template <std::size_t N>
bool ColumnBytes(sqlite3_stmt* stmt, int column, std::array<std::uint8_t, N>& out) {
  const void* blob = sqlite3_column_blob(stmt, column);
  if (blob == nullptr || sqlite3_column_bytes(stmt, column) != static_cast<int>(N)) return false;
  std::memcpy(out.data(), blob, N);
  return true;
}

// A secret whose parts are missing or of the wrong size is no secret: no
// proof opens that account.
std::optional<LoginSecret> ColumnSecret(sqlite3_stmt* stmt, int first) {
  LoginSecret secret;
  if (!ColumnBytes(stmt, first, secret.salt) || !ColumnBytes(stmt, first + 1, secret.hash)) return std::nullopt;
  for (int i = 2; i < 5; ++i) {
    if (sqlite3_column_type(stmt, first + i) != SQLITE_INTEGER) return std::nullopt;
  }
  const auto small = [&](int i) {
    const std::int64_t value = sqlite3_column_int64(stmt, first + i);
    return value < 0 || value > 1'000'000 ? -1 : static_cast<int>(value);
  };
  secret.params = {small(2), small(3), small(4)};
  return secret;
}

Account ReadRow(sqlite3_stmt* stmt) {
  Account a;
  a.id = static_cast<std::int32_t>(sqlite3_column_int64(stmt, 0));
  a.login = ColumnSecret(stmt, 1);
  a.credit_kib = sqlite3_column_double(stmt, 6);
  a.prepaid_until = ColumnDate(stmt, 7);
  a.valid_until = ColumnDate(stmt, 8);
  a.further_byte = static_cast<std::uint8_t>(sqlite3_column_int64(stmt, 9));
  a.totals.sent_raw = sqlite3_column_int64(stmt, 10);
  a.totals.sent_wire = sqlite3_column_int64(stmt, 11);
  a.totals.received_raw = sqlite3_column_int64(stmt, 12);
  a.totals.received_wire = sqlite3_column_int64(stmt, 13);
  return a;
}

void BindSecret(Statement& s, int first, const std::optional<LoginSecret>& secret) {
  if (!secret) {
    for (int i = 0; i < 5; ++i) s.BindNull(first + i);
    return;
  }
  s.BindBlob(first, secret->salt.data(), static_cast<int>(secret->salt.size()));
  s.BindBlob(first + 1, secret->hash.data(), static_cast<int>(secret->hash.size()));
  s.Bind(first + 2, static_cast<std::int64_t>(secret->params.log2_n));
  s.Bind(first + 3, static_cast<std::int64_t>(secret->params.r));
  s.Bind(first + 4, static_cast<std::int64_t>(secret->params.p));
}

void BindFields(Statement& s, const Account& a) {
  s.Bind(1, static_cast<std::int64_t>(a.id));
  BindSecret(s, 2, a.login);
  s.Bind(7, a.credit_kib);
  s.Bind(8, a.prepaid_until);
  s.Bind(9, a.valid_until);
  s.Bind(10, static_cast<std::int64_t>(a.further_byte));
}

}  // namespace

SqliteAccountStore::SqliteAccountStore(const std::filesystem::path& path, Mode mode) {
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
  if (mode == Mode::kCreateIfMissing) flags |= SQLITE_OPEN_CREATE;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    const std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError("cannot open account file " + path.string() + ": " + reason);
  }
  int version = 0;
  try {
    sqlite3_busy_timeout(db_, 5000);
    version = SchemaVersion();
  } catch (const StoreError& e) {
    CloseAndThrow(path.string() + " is not a usable account file (" + e.what() + ")");
  }
  if (version > kSchemaVersion) {
    CloseAndThrow("account file " + path.string() + " was written by a newer korvan-server (schema " +
                  std::to_string(version) + ")");
  }
  // Checked before the first write (the journal mode) so that the message names the cause.
  if (version < kSchemaVersion && sqlite3_db_readonly(db_, "main") == 1) {
    CloseAndThrow("account file " + path.string() +
                  (version == 0 ? " is read-only, and must be written once to replace its MD5 password digests by"
                                  " salted hashes"
                                : " is read-only, and must be written once to bring it up to date"));
  }
  try {
    Execute("PRAGMA journal_mode=WAL");
    Execute("PRAGMA synchronous=NORMAL");
    // Replaced secrets are overwritten in the file, not merely unlinked.
    Execute("PRAGMA secure_delete=ON");
  } catch (const StoreError& e) {
    CloseAndThrow(path.string() + " is not a usable account file (" + e.what() + ")");
  }
  if (version < kSchemaVersion) {
    try {
      Upgrade();
    } catch (const StoreError& e) {
      CloseAndThrow("cannot bring account file " + path.string() + " up to date: " + e.what());
    }
  }
  try {
    Statement check(db_, std::string("SELECT ") + kColumns + " FROM accounts LIMIT 0");
    check.Step();
  } catch (const StoreError& e) {
    CloseAndThrow(path.string() + " is not a usable account file (" + e.what() + ")");
  }
}

void SqliteAccountStore::CloseAndThrow(const std::string& message) {
  sqlite3_close(db_);
  db_ = nullptr;
  throw StoreError(message);
}

SqliteAccountStore::~SqliteAccountStore() {
  sqlite3_finalize(find_);
  sqlite3_close(db_);
}

void SqliteAccountStore::Execute(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string reason = error != nullptr ? error : "unknown error";
    sqlite3_free(error);
    throw StoreError("account store: " + reason);
  }
}

int SqliteAccountStore::SchemaVersion() {
  Statement s(db_, "PRAGMA user_version");
  return s.Step() ? static_cast<int>(sqlite3_column_int64(s.get(), 0)) : 0;
}

void SqliteAccountStore::Upgrade() {
  try {
    // Immediate: a second process opening the file meanwhile waits here and
    // then finds the work done.
    Execute("BEGIN IMMEDIATE");
    const int version = SchemaVersion();
    if (version == 0) {
      bool has_table = false;
      {
        Statement table(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'accounts'");
        has_table = table.Step();
      }  // a statement still reading the schema would stop DROP TABLE
      if (has_table) {
        MigrateFromMd5();
      } else {
        Execute(SchemaFor("accounts").c_str());
      }
    }
    if (version < 2) Execute(kAppliedCharges);
    if (version < kSchemaVersion) Execute(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
    Execute("COMMIT");
  } catch (const std::exception& e) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw StoreError(e.what());
  }
  // Move the rewritten pages into the file now, and empty the log, so that
  // no copy of the old digests stays behind until a later checkpoint.
  sqlite3_exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
}

void SqliteAccountStore::MigrateFromMd5() {
  {
    Statement check(db_, std::string("SELECT password_md5, ") + kKeptColumns + " FROM accounts LIMIT 0");
    check.Step();
  }
  Execute(SchemaFor("accounts_upgrade").c_str());
  Execute((std::string("INSERT INTO accounts_upgrade (") + kKeptColumns + ") SELECT " + kKeptColumns + " FROM accounts")
              .c_str());
  {
    Statement read(db_, "SELECT id, password_md5 FROM accounts");
    Statement write(db_,
                    "UPDATE accounts_upgrade SET login_salt = ?2, login_hash = ?3, scrypt_log2_n = ?4,"
                    " scrypt_r = ?5, scrypt_p = ?6 WHERE id = ?1");
    while (read.Step()) {
      // The old server read a digest of another size as zeros; such a row
      // now has no secret and refuses every proof.
      std::array<std::uint8_t, 16> md5{};
      if (!ColumnBytes(read.get(), 1, md5)) continue;
      LoginProof proof{};
      std::copy_n(md5.begin(), proof.size(), proof.begin());
      write.Reset();
      write.Bind(1, static_cast<std::int64_t>(sqlite3_column_int64(read.get(), 0)));
      BindSecret(write, 2, MakeLoginSecret(proof));
      write.Step();
    }
  }
  Execute("DROP TABLE accounts");
  Execute("ALTER TABLE accounts_upgrade RENAME TO accounts");
}

std::optional<Account> SqliteAccountStore::Find(std::int32_t id) {
  MutexLock lock(mutex_);
  // Every connection's login and credit check asks: prepared once.
  if (find_ == nullptr) {
    const std::string sql = std::string("SELECT ") + kColumns + " FROM accounts WHERE id = ?1";
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &find_, nullptr) != SQLITE_OK) {
      throw StoreError(std::string("account store: ") + sqlite3_errmsg(db_));
    }
  }
  Statement s(db_, find_);
  s.Bind(1, static_cast<std::int64_t>(id));
  if (!s.Step()) return std::nullopt;
  return ReadRow(s.get());
}

bool SqliteAccountStore::Insert(const Account& account) {
  MutexLock lock(mutex_);
  Statement s(db_,
              "INSERT OR IGNORE INTO accounts (id, login_salt, login_hash, scrypt_log2_n, scrypt_r, scrypt_p,"
              " credit_kib, prepaid_until, valid_until, further_byte)"
              " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
  BindFields(s, account);
  s.Step();
  return s.Changes() == 1;
}

bool SqliteAccountStore::Update(const Account& account) {
  MutexLock lock(mutex_);
  Statement s(db_,
              "UPDATE accounts SET login_salt = ?2, login_hash = ?3, scrypt_log2_n = ?4, scrypt_r = ?5,"
              " scrypt_p = ?6, credit_kib = ?7, prepaid_until = ?8, valid_until = ?9, further_byte = ?10"
              " WHERE id = ?1");
  BindFields(s, account);
  s.Step();
  return s.Changes() == 1;
}

bool SqliteAccountStore::UpdateDetails(const Account& account) {
  MutexLock lock(mutex_);
  Statement s(db_,
              "UPDATE accounts SET login_salt = ?2, login_hash = ?3, scrypt_log2_n = ?4, scrypt_r = ?5,"
              " scrypt_p = ?6, prepaid_until = ?8, valid_until = ?9, further_byte = ?10 WHERE id = ?1");
  BindFields(s, account);  // ?7, the credit, stays unused
  s.Step();
  return s.Changes() == 1;
}

bool SqliteAccountStore::AddCredit(std::int32_t id, double kib) {
  MutexLock lock(mutex_);
  Statement s(db_, "UPDATE accounts SET credit_kib = MAX(credit_kib + ?2, 0) WHERE id = ?1");
  s.Bind(1, static_cast<std::int64_t>(id));
  s.Bind(2, kib);
  s.Step();
  return s.Changes() == 1;
}

std::vector<Account> SqliteAccountStore::List() {
  MutexLock lock(mutex_);
  Statement s(db_, std::string("SELECT ") + kColumns + " FROM accounts ORDER BY id");
  std::vector<Account> accounts;
  while (s.Step()) accounts.push_back(ReadRow(s.get()));
  return accounts;
}

namespace {

void BindCharge(Statement& s, std::int32_t id, const Traffic& traffic, bool charge) {
  s.Bind(1, static_cast<std::int64_t>(id));
  s.Bind(2, charge ? static_cast<double>(traffic.wire_bytes()) / 1024.0 : 0.0);
  s.Bind(3, traffic.sent_raw);
  s.Bind(4, traffic.sent_wire);
  s.Bind(5, traffic.received_raw);
  s.Bind(6, traffic.received_wire);
}

std::int64_t UnixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void SqliteAccountStore::Charge(std::int32_t id, const Traffic& traffic, bool charge) {
  MutexLock lock(mutex_);
  Statement s(db_, kChargeSql);
  BindCharge(s, id, traffic, charge);
  s.Step();
}

void SqliteAccountStore::ApplyCharges(std::span<const ChargeRecord> records) {
  if (records.empty()) return;
  MutexLock lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  try {
    // Immediate: the write lock is taken (or waited for) before anything
    // is read, so no other process slips in between a key's check and its
    // charge.
    Execute("BEGIN IMMEDIATE");
    if (now >= next_prune_) {
      Statement prune(db_, "DELETE FROM applied_charges WHERE applied < ?1");
      prune.Bind(1, UnixNow() - kKeyLifetimeSeconds);
      prune.Step();
    }
    Statement remember(db_, "INSERT OR IGNORE INTO applied_charges (key, applied) VALUES (?1, ?2)");
    Statement charge(db_, kChargeSql);
    const std::int64_t stamp = UnixNow();
    for (const ChargeRecord& record : records) {
      remember.Reset();
      Check(sqlite3_bind_text(remember.get(), 1, record.key.data(), static_cast<int>(record.key.size()),
                              SQLITE_TRANSIENT));
      remember.Bind(2, stamp);
      remember.Step();
      if (remember.Changes() != 1) continue;  // applied before
      charge.Reset();
      BindCharge(charge, record.id, record.traffic, record.charge);
      charge.Step();
    }
    Execute("COMMIT");
  } catch (const std::exception& e) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw StoreError(e.what());
  }
  if (now >= next_prune_) next_prune_ = now + kPruneEvery;
}

void SqliteAccountStore::Check(int rc) {
  if (rc != SQLITE_OK) throw StoreError(std::string("account store: ") + sqlite3_errmsg(db_));
}

}  // namespace korvan::server
