#include "server/sqlite_account_store.h"

#include <sqlite3.h>

#include <cstring>
#include <string>

namespace korvan::server {

namespace {

constexpr const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS accounts ("
    " id INTEGER PRIMARY KEY,"
    " password_md5 BLOB NOT NULL,"
    " credit_kib REAL NOT NULL DEFAULT 0,"
    " prepaid_until TEXT,"
    " valid_until TEXT,"
    " further_byte INTEGER NOT NULL DEFAULT 0,"
    " sent_raw INTEGER NOT NULL DEFAULT 0,"
    " sent_wire INTEGER NOT NULL DEFAULT 0,"
    " received_raw INTEGER NOT NULL DEFAULT 0,"
    " received_wire INTEGER NOT NULL DEFAULT 0)";

constexpr const char kColumns[] =
    "id, password_md5, credit_kib, prepaid_until, valid_until, further_byte,"
    " sent_raw, sent_wire, received_raw, received_wire";

// A prepared statement that finalizes itself.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) {
      throw StoreError(std::string("account store: ") + sqlite3_errmsg(db));
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
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
};

std::optional<Date> ColumnDate(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  if (text == nullptr) return std::nullopt;
  return ParseDate(reinterpret_cast<const char*>(text));
}

Account ReadRow(sqlite3_stmt* stmt) {
  Account a;
  a.id = static_cast<std::int32_t>(sqlite3_column_int64(stmt, 0));
  const void* blob = sqlite3_column_blob(stmt, 1);
  if (blob != nullptr && sqlite3_column_bytes(stmt, 1) == static_cast<int>(a.password_md5.size())) {
    std::memcpy(a.password_md5.data(), blob, a.password_md5.size());
  }
  a.credit_kib = sqlite3_column_double(stmt, 2);
  a.prepaid_until = ColumnDate(stmt, 3);
  a.valid_until = ColumnDate(stmt, 4);
  a.further_byte = static_cast<std::uint8_t>(sqlite3_column_int64(stmt, 5));
  a.totals.sent_raw = sqlite3_column_int64(stmt, 6);
  a.totals.sent_wire = sqlite3_column_int64(stmt, 7);
  a.totals.received_raw = sqlite3_column_int64(stmt, 8);
  a.totals.received_wire = sqlite3_column_int64(stmt, 9);
  return a;
}

void BindFields(Statement& s, const Account& a) {
  s.Bind(1, static_cast<std::int64_t>(a.id));
  s.BindBlob(2, a.password_md5.data(), static_cast<int>(a.password_md5.size()));
  s.Bind(3, a.credit_kib);
  s.Bind(4, a.prepaid_until);
  s.Bind(5, a.valid_until);
  s.Bind(6, static_cast<std::int64_t>(a.further_byte));
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
  try {
    sqlite3_busy_timeout(db_, 5000);
    Execute("PRAGMA journal_mode=WAL");
    Execute("PRAGMA synchronous=NORMAL");
    Execute(kSchema);
    Statement check(db_, std::string("SELECT ") + kColumns + " FROM accounts LIMIT 0");
    check.Step();
  } catch (const StoreError& e) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError(path.string() + " is not a usable account file (" + e.what() + ")");
  }
}

SqliteAccountStore::~SqliteAccountStore() { sqlite3_close(db_); }

void SqliteAccountStore::Execute(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string reason = error != nullptr ? error : "unknown error";
    sqlite3_free(error);
    throw StoreError("account store: " + reason);
  }
}

std::optional<Account> SqliteAccountStore::Find(std::int32_t id) {
  MutexLock lock(mutex_);
  Statement s(db_, std::string("SELECT ") + kColumns + " FROM accounts WHERE id = ?1");
  s.Bind(1, static_cast<std::int64_t>(id));
  if (!s.Step()) return std::nullopt;
  return ReadRow(s.get());
}

bool SqliteAccountStore::Insert(const Account& account) {
  MutexLock lock(mutex_);
  Statement s(db_,
              "INSERT OR IGNORE INTO accounts (id, password_md5, credit_kib, prepaid_until, valid_until,"
              " further_byte) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
  BindFields(s, account);
  s.Step();
  return s.Changes() == 1;
}

bool SqliteAccountStore::Update(const Account& account) {
  MutexLock lock(mutex_);
  Statement s(db_,
              "UPDATE accounts SET password_md5 = ?2, credit_kib = ?3, prepaid_until = ?4, valid_until = ?5,"
              " further_byte = ?6 WHERE id = ?1");
  BindFields(s, account);
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

void SqliteAccountStore::Charge(std::int32_t id, const Traffic& traffic, bool charge) {
  MutexLock lock(mutex_);
  // Credit changes by the tunnel bytes in KiB; an arithmetic update keeps
  // concurrent charges from other processes intact.
  Statement s(db_,
              "UPDATE accounts SET credit_kib = credit_kib - ?2, sent_raw = sent_raw + ?3,"
              " sent_wire = sent_wire + ?4, received_raw = received_raw + ?5,"
              " received_wire = received_wire + ?6 WHERE id = ?1");
  s.Bind(1, static_cast<std::int64_t>(id));
  s.Bind(2, charge ? static_cast<double>(traffic.wire_bytes()) / 1024.0 : 0.0);
  s.Bind(3, traffic.sent_raw);
  s.Bind(4, traffic.sent_wire);
  s.Bind(5, traffic.received_raw);
  s.Bind(6, traffic.received_wire);
  s.Step();
}

}  // namespace korvan::server
