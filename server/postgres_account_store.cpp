#include "server/postgres_account_store.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>

namespace korvan::server {

namespace {

using Clock = std::chrono::steady_clock;

// Version 1: accounts, applied charges and connection leases.
constexpr int kSchemaVersion = 1;
// Held while the schema is created or upgraded ("korvan", then 1).
constexpr std::int64_t kMigrationLock = 0x6b6f7276616e0001;
// Applied-charge keys are kept this long: far longer than any retry.
constexpr const char kKeyLifetime[] = "7 days";
constexpr auto kPruneEvery = std::chrono::hours(1);
// After a failed connect, calls fail at once for this long.
constexpr auto kQuietAfterFailure = std::chrono::seconds(1);

// kMigrations[v] brings a database of version v to v + 1.
constexpr const char* kMigrations[] = {
    "CREATE TABLE accounts ("
    " id integer PRIMARY KEY,"
    " login_salt bytea,"
    " login_hash bytea,"
    " scrypt_log2_n integer,"
    " scrypt_r integer,"
    " scrypt_p integer,"
    " credit_kib double precision NOT NULL DEFAULT 0,"
    " prepaid_until date,"
    " valid_until date,"
    " further_byte smallint NOT NULL DEFAULT 0,"
    " sent_raw bigint NOT NULL DEFAULT 0,"
    " sent_wire bigint NOT NULL DEFAULT 0,"
    " received_raw bigint NOT NULL DEFAULT 0,"
    " received_wire bigint NOT NULL DEFAULT 0);"
    "CREATE TABLE applied_charges (key text PRIMARY KEY, applied timestamptz NOT NULL DEFAULT now());"
    "CREATE INDEX applied_charges_by_time ON applied_charges (applied);"
    "CREATE TABLE connection_leases ("
    " server text NOT NULL,"
    " account integer NOT NULL,"
    " count integer NOT NULL,"
    " expires timestamptz NOT NULL,"
    " PRIMARY KEY (server, account));"
    "CREATE INDEX connection_leases_by_account ON connection_leases (account);"
    // One round trip per admission. The lock (the two-key form, apart from
    // the migration's) serialises every server's admissions to one account
    // until the commit; each statement after it sees what they committed.
    "CREATE FUNCTION korvan_try_hold(p_account integer, p_server text, p_count integer, p_limit bigint,"
    " p_lease_seconds double precision) RETURNS boolean LANGUAGE plpgsql AS $$"
    " DECLARE others bigint;"
    " BEGIN"
    "  PERFORM pg_advisory_xact_lock(27510, p_account);"
    "  SELECT COALESCE(sum(count), 0) INTO others FROM connection_leases"
    "   WHERE account = p_account AND server <> p_server AND expires > clock_timestamp();"
    "  IF others + p_count > p_limit THEN RETURN false; END IF;"
    "  INSERT INTO connection_leases (server, account, count, expires)"
    "   VALUES (p_server, p_account, p_count, clock_timestamp() + make_interval(secs => p_lease_seconds))"
    "   ON CONFLICT (server, account) DO UPDATE SET count = EXCLUDED.count, expires = EXCLUDED.expires;"
    "  RETURN true;"
    " END $$;",
};
static_assert(std::size(kMigrations) == kSchemaVersion);

#define KORVAN_ACCOUNT_COLUMNS                                                                               \
  "id, login_salt, login_hash, scrypt_log2_n, scrypt_r, scrypt_p, credit_kib, prepaid_until::text,"         \
  " valid_until::text, further_byte, sent_raw, sent_wire, received_raw, received_wire"

// The statements a connection prepares on first use.
enum Sql : std::size_t {
  kFind,
  kInsert,
  kUpdate,
  kList,
  kCharge,
  kLockAccounts,
  kApply,
  kPruneKeys,
  kTryHold,
  kLeaseDrop,
  kRenewDrop,
  kRenewInsert,
  kHeld,
  kUpdateDetails,
  kAddCredit,
  kSqlCount
};

struct Statement {
  const char* name;
  const char* text;
};

// In the order of Sql.
constexpr Statement kStatements[] = {
    {"korvan_find", "SELECT " KORVAN_ACCOUNT_COLUMNS " FROM accounts WHERE id = $1"},
    {"korvan_insert",
     "INSERT INTO accounts (id, login_salt, login_hash, scrypt_log2_n, scrypt_r, scrypt_p, credit_kib,"
     " prepaid_until, valid_until, further_byte)"
     " VALUES ($1, $2, $3, $4, $5, $6, $7, $8::date, $9::date, $10) ON CONFLICT (id) DO NOTHING"},
    {"korvan_update",
     "UPDATE accounts SET login_salt = $2, login_hash = $3, scrypt_log2_n = $4, scrypt_r = $5, scrypt_p = $6,"
     " credit_kib = $7, prepaid_until = $8::date, valid_until = $9::date, further_byte = $10 WHERE id = $1"},
    {"korvan_list", "SELECT " KORVAN_ACCOUNT_COLUMNS " FROM accounts ORDER BY id"},
    // Arithmetic on the row as it is when the update runs: charges of
    // other servers at the same moment all count.
    {"korvan_charge",
     "UPDATE accounts SET credit_kib = GREATEST(credit_kib - $2::float8, 0), sent_raw = sent_raw + $3::int8,"
     " sent_wire = sent_wire + $4::int8, received_raw = received_raw + $5::int8,"
     " received_wire = received_wire + $6::int8 WHERE id = $1"},
    // Rows locked in one order by every server, so that two batches over
    // the same accounts cannot deadlock.
    {"korvan_lock_accounts", "SELECT 1 FROM accounts WHERE id = ANY($1::int4[]) ORDER BY id FOR UPDATE"},
    // A record counts only when its key goes into applied_charges now; a
    // key that is there already (a retry) adds nothing.
    {"korvan_apply",
     "WITH batch AS ("
     "  SELECT DISTINCT ON (key) key, id, kib, sr, sw, rr, rw"
     "  FROM unnest($1::text[], $2::int4[], $3::float8[], $4::int8[], $5::int8[], $6::int8[], $7::int8[])"
     "    AS b(key, id, kib, sr, sw, rr, rw)"
     "  ORDER BY key),"
     " fresh AS ("
     "  INSERT INTO applied_charges (key) SELECT key FROM batch ORDER BY key"
     "  ON CONFLICT (key) DO NOTHING RETURNING key),"
     " sums AS ("
     "  SELECT b.id, sum(b.kib) AS kib, sum(b.sr) AS sr, sum(b.sw) AS sw, sum(b.rr) AS rr, sum(b.rw) AS rw"
     "  FROM batch b JOIN fresh f ON f.key = b.key GROUP BY b.id)"
     " UPDATE accounts a SET credit_kib = GREATEST(a.credit_kib - s.kib, 0), sent_raw = a.sent_raw + s.sr,"
     "  sent_wire = a.sent_wire + s.sw, received_raw = a.received_raw + s.rr,"
     "  received_wire = a.received_wire + s.rw"
     " FROM sums s WHERE a.id = s.id"},
    {"korvan_prune_keys", "DELETE FROM applied_charges WHERE applied < now() - $1::interval"},
    {"korvan_try_hold", "SELECT korvan_try_hold($1, $2, $3, $4, $5)"},
    {"korvan_lease_drop", "DELETE FROM connection_leases WHERE server = $2 AND account = $1"},
    // Expired rows of any server count no more, so they go too.
    {"korvan_renew_drop", "DELETE FROM connection_leases WHERE server = $1 OR expires < now()"},
    {"korvan_renew_insert",
     "INSERT INTO connection_leases (server, account, count, expires)"
     " SELECT $1, a, c, now() + make_interval(secs => $4::float8) FROM unnest($2::int4[], $3::int4[]) AS l(a, c)"},
    {"korvan_held", "SELECT COALESCE(sum(count), 0) FROM connection_leases WHERE account = $1 AND expires > now()"},
    {"korvan_update_details",
     "UPDATE accounts SET login_salt = $2, login_hash = $3, scrypt_log2_n = $4, scrypt_r = $5, scrypt_p = $6,"
     " prepaid_until = $7::date, valid_until = $8::date, further_byte = $9 WHERE id = $1"},
    {"korvan_add_credit", "UPDATE accounts SET credit_kib = GREATEST(credit_kib + $2::float8, 0) WHERE id = $1"},
};
static_assert(std::size(kStatements) == kSqlCount);

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

// libpq's messages run over several lines; one line reads better in a log.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\t' || c == '\r') c = ' ';
  }
  std::string out;
  for (const char c : text) {
    if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
    out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string Seconds(std::chrono::milliseconds limit) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(limit.count()) / 1000.0);
  return text;
}

void CheckText(const std::string& text) {
  if (text.find('\0') != std::string::npos) throw StoreError("account store: a text value holds a NUL byte");
}

// Statement parameters in libpq's text form, bytes in binary form.
class Params {
 public:
  Params& Int(std::int64_t value) { return Add(std::to_string(value), false); }
  Params& Real(double value) {
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return Add(std::string(text, end), false);
  }
  Params& Text(std::string text) {
    CheckText(text);
    return Add(std::move(text), false);
  }
  Params& Day(const std::optional<Date>& date) { return date ? Add(FormatDate(*date), false) : Null(); }
  template <std::size_t N>
  Params& Bytes(const std::array<std::uint8_t, N>& bytes) {
    return Add(std::string(reinterpret_cast<const char*>(bytes.data()), N), true);
  }
  Params& Null() {
    values_.emplace_back(std::nullopt);
    binary_.push_back(0);
    return *this;
  }
  // A PostgreSQL array literal of numbers or of texts.
  template <typename T>
  Params& Numbers(const std::vector<T>& numbers) {
    std::string literal = "{";
    for (const T& n : numbers) {
      if (literal.size() > 1) literal += ',';
      if constexpr (std::is_floating_point_v<T>) {
        char text[64];
        literal.append(text, std::to_chars(text, text + sizeof text, n).ptr);
      } else {
        literal += std::to_string(n);
      }
    }
    return Add(literal + "}", false);
  }
  Params& Texts(const std::vector<std::string>& texts) {
    std::string literal = "{";
    for (const std::string& t : texts) {
      CheckText(t);
      if (literal.size() > 1) literal += ',';
      literal += '"';
      for (const char c : t) {
        if (c == '"' || c == '\\') literal += '\\';
        literal += c;
      }
      literal += '"';
    }
    return Add(literal + "}", false);
  }

  int size() const { return static_cast<int>(values_.size()); }
  // libpq's three arrays over the values; valid while this object is unchanged.
  void Fill(std::vector<const char*>& values, std::vector<int>& lengths, std::vector<int>& formats) const {
    for (std::size_t i = 0; i < values_.size(); ++i) {
      values.push_back(values_[i] ? values_[i]->data() : nullptr);
      lengths.push_back(values_[i] ? static_cast<int>(values_[i]->size()) : 0);
      formats.push_back(binary_[i]);
    }
  }

 private:
  Params& Add(std::string value, bool binary) {
    values_.emplace_back(std::move(value));
    binary_.push_back(binary ? 1 : 0);
    return *this;
  }
  std::vector<std::optional<std::string>> values_;
  std::vector<int> binary_;
};

// Waits until `fd` is ready for `events`; false once `deadline` passed.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, static_cast<int>(std::clamp<long long>(left, 0, 1'000'000)));
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return true;  // libpq reports what is wrong with the socket
  }
}

const char* Value(const PGresult* r, int row, int column) {
  return PQgetisnull(r, row, column) ? nullptr : PQgetvalue(r, row, column);
}

std::optional<std::int64_t> Integer(const PGresult* r, int row, int column) {
  const char* text = Value(r, row, column);
  if (text == nullptr) return std::nullopt;
  std::int64_t value = 0;
  const auto end = text + std::strlen(text);
  if (std::from_chars(text, end, value).ptr != end) return std::nullopt;
  return value;
}

template <std::size_t N>
bool ByteColumn(const PGresult* r, int row, int column, std::array<std::uint8_t, N>& out) {
  const char* text = Value(r, row, column);
  if (text == nullptr) return false;
  std::size_t size = 0;
  unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &size);
  const bool ok = bytes != nullptr && size == N;
  if (ok) std::memcpy(out.data(), bytes, N);
  PQfreemem(bytes);
  return ok;
}

// As the SQLite store reads it: parts missing or of the wrong size mean no
// secret, and absurd parameters are kept as such (a login refuses them).
std::optional<LoginSecret> SecretColumns(const PGresult* r, int row, int first) {
  LoginSecret secret;
  if (!ByteColumn(r, row, first, secret.salt) || !ByteColumn(r, row, first + 1, secret.hash)) return std::nullopt;
  int params[3];
  for (int i = 0; i < 3; ++i) {
    const auto value = Integer(r, row, first + 2 + i);
    if (!value) return std::nullopt;
    params[i] = *value < 0 || *value > 1'000'000 ? -1 : static_cast<int>(*value);
  }
  secret.params = {params[0], params[1], params[2]};
  return secret;
}

Account ReadAccount(const PGresult* r, int row) {
  Account a;
  a.id = static_cast<std::int32_t>(Integer(r, row, 0).value_or(0));
  a.login = SecretColumns(r, row, 1);
  if (const char* credit = Value(r, row, 6)) a.credit_kib = std::strtod(credit, nullptr);
  if (const char* day = Value(r, row, 7)) a.prepaid_until = ParseDate(day);
  if (const char* day = Value(r, row, 8)) a.valid_until = ParseDate(day);
  a.further_byte = static_cast<std::uint8_t>(Integer(r, row, 9).value_or(0));
  a.totals.sent_raw = Integer(r, row, 10).value_or(0);
  a.totals.sent_wire = Integer(r, row, 11).value_or(0);
  a.totals.received_raw = Integer(r, row, 12).value_or(0);
  a.totals.received_wire = Integer(r, row, 13).value_or(0);
  return a;
}

Params AccountParams(const Account& a) {
  Params p;
  p.Int(a.id);
  if (a.login) {
    p.Bytes(a.login->salt).Bytes(a.login->hash).Int(a.login->params.log2_n).Int(a.login->params.r).Int(
        a.login->params.p);
  } else {
    p.Null().Null().Null().Null().Null();
  }
  p.Real(a.credit_kib).Day(a.prepaid_until).Day(a.valid_until).Int(a.further_byte);
  return p;
}

bool OneRowChanged(const PGresult* r) { return std::strcmp(PQcmdTuples(const_cast<PGresult*>(r)), "1") == 0; }

// The password of a URL as written (percent-encoded), for scrubbing even a
// URL that does not parse.
std::string RawPassword(const std::string& url) {
  const auto start = url.find("://");
  if (start == std::string::npos) return {};
  const std::string rest = url.substr(start + 3);
  const std::string authority = rest.substr(0, rest.find_first_of("/?"));
  const auto at = authority.rfind('@');
  if (at == std::string::npos) return {};
  const auto colon = authority.find(':');
  if (colon == std::string::npos || colon > at) return {};
  return authority.substr(colon + 1, at - colon - 1);
}

}  // namespace

struct PostgresAccountStore::Connection {
  explicit Connection(PGconn* c) : conn(c) {}
  ~Connection() { PQfinish(conn); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  PGconn* conn;
  std::bitset<kSqlCount> prepared;
};

// One call's use of one connection, with the call's deadline. A
// connection that failed, timed out or is left inside a transaction goes
// back closed, never into the pool.
class PostgresAccountStore::Call {
 public:
  explicit Call(PostgresAccountStore& store)
      : store_(store), deadline_(Clock::now() + store.options_.call_limit), connection_(store.Take(deadline_)) {}
  ~Call() {
    const bool idle = PQtransactionStatus(connection_->conn) == PQTRANS_IDLE;
    store_.Give(std::move(connection_), healthy_ && idle);
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  Result Run(Sql which, const Params& params) {
    PGconn* c = connection_->conn;
    if (!connection_->prepared.test(which)) {
      if (PQsendPrepare(c, kStatements[which].name, kStatements[which].text, params.size(), nullptr) == 0) {
        Lost(PQerrorMessage(c));
      }
      Await();
      connection_->prepared.set(which);
    }
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    params.Fill(values, lengths, formats);
    if (PQsendQueryPrepared(c, kStatements[which].name, params.size(), values.data(), lengths.data(),
                            formats.data(), 0) == 0) {
      Lost(PQerrorMessage(c));
    }
    return Await();
  }
  // Statements without parameters, several at once if need be.
  Result Run(const char* sql) {
    if (PQsendQuery(connection_->conn, sql) == 0) Lost(PQerrorMessage(connection_->conn));
    return Await();
  }

 private:
  // Every result of what was sent; the last one, or StoreError for the first error.
  Result Await() {
    PGconn* c = connection_->conn;
    Result last(nullptr, PQclear);
    Result error(nullptr, PQclear);
    for (;;) {
      while (PQisBusy(c) == 0) {
        PGresult* r = PQgetResult(c);
        if (r == nullptr) {
          if (error) {
            if (PQstatus(c) == CONNECTION_BAD) Lost(PQresultErrorMessage(error.get()));
            const char* primary = PQresultErrorField(error.get(), PG_DIAG_MESSAGE_PRIMARY);
            throw StoreError("the account database at " + store_.where_ + " refused a request: " +
                             store_.Scrub(OneLine(primary != nullptr ? primary : PQresultErrorMessage(error.get()))));
          }
          if (!last) Lost(PQerrorMessage(c));
          return last;
        }
        const auto status = PQresultStatus(r);
        if ((status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE) && !error) {
          error.reset(r);
        } else {
          last.reset(r);
        }
      }
      const int flushed = PQflush(c);
      if (flushed < 0) Lost(PQerrorMessage(c));
      if (!WaitFor(PQsocket(c), static_cast<short>(POLLIN | (flushed == 1 ? POLLOUT : 0)), deadline_)) {
        TimedOut();
      }
      if (PQconsumeInput(c) == 0) Lost(PQerrorMessage(c));
    }
  }

  [[noreturn]] void Lost(const std::string& why) {
    healthy_ = false;
    throw StoreError("the account database at " + store_.where_ + " cannot be reached: " +
                     store_.Scrub(OneLine(why)));
  }
  // The database may be stopped or swamped: the calls of the next moment
  // fail at once rather than each waiting as long again.
  [[noreturn]] void TimedOut() {
    healthy_ = false;
    const std::string message = "the account database at " + store_.where_ +
                                " cannot be reached: no answer within " + Seconds(store_.options_.call_limit);
    {
      MutexLock lock(store_.mutex_);
      store_.quiet_until_ = Clock::now() + kQuietAfterFailure;
      store_.quiet_reason_ = message;
    }
    throw StoreError(message);
  }

  PostgresAccountStore& store_;
  const Clock::time_point deadline_;
  std::unique_ptr<Connection> connection_;
  bool healthy_ = true;
};

bool PostgresAccountStore::IsUrl(const std::string& where) {
  return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

PostgresAccountStore::PostgresAccountStore(const std::string& url, PostgresStoreOptions options)
    : options_(options), password_(RawPassword(url)) {
  if (!IsUrl(url)) throw StoreError("not a PostgreSQL URL (postgresql://USER@HOST:PORT/DATABASE)");
  if (options_.pool_size == 0 || options_.call_limit.count() <= 0 || options_.lease_time.count() <= 0) {
    throw StoreError("account store: the pool size, call limit and lease time must be above zero");
  }
  char* error = nullptr;
  PQconninfoOption* parsed = PQconninfoParse(url.c_str(), &error);
  if (parsed == nullptr) {
    const std::string reason = error != nullptr ? OneLine(error) : "out of memory";
    PQfreemem(error);
    throw StoreError("not a usable PostgreSQL URL: " + Scrub(reason));
  }
  std::string host, port = "5432";
  std::string decoded_password;
  for (const PQconninfoOption* o = parsed; o->keyword != nullptr; ++o) {
    if (o->val == nullptr || *o->val == '\0') continue;
    const std::string key = o->keyword;
    if (key == "host" || (key == "hostaddr" && host.empty())) host = o->val;
    if (key == "port") port = o->val;
    if (key == "password") decoded_password = o->val;
  }
  PQconninfoFree(parsed);
  if (host.empty()) host = "localhost";
  where_ = host + ":" + port;
  // Scrubbed in both forms; the raw one is kept where they differ.
  if (password_.empty() || password_ == decoded_password) {
    password_ = decoded_password;
  } else if (!decoded_password.empty()) {
    password_ += '\n' + decoded_password;
  }

  const long limit_ms = static_cast<long>(options_.call_limit.count());
  // libpq takes whole seconds, and 2 at least; the store's own deadline is
  // the finer bound.
  const long connect_seconds = std::max<long>(2, (limit_ms + 999) / 1000);
  keywords_ = {"dbname", "connect_timeout", "options", "application_name", "client_encoding", nullptr};
  values_ = {url, std::to_string(connect_seconds),
             "-c statement_timeout=" + std::to_string(limit_ms) + " -c idle_in_transaction_session_timeout=" +
                 std::to_string(limit_ms * 5) + " -c DateStyle=ISO -c TimeZone=UTC",
             "korvan-server", "UTF8"};
  Migrate();
}

PostgresAccountStore::~PostgresAccountStore() {
  MutexLock lock(mutex_);
  idle_.clear();
}

std::string PostgresAccountStore::Scrub(std::string message) const {
  std::size_t start = 0;
  while (start <= password_.size()) {
    const std::size_t end = std::min(password_.find('\n', start), password_.size());
    const std::string secret = password_.substr(start, end - start);
    start = end + 1;
    if (secret.empty()) continue;
    for (std::size_t at = message.find(secret); at != std::string::npos; at = message.find(secret, at + 3)) {
      message.replace(at, secret.size(), "***");
    }
  }
  return message;
}

std::unique_ptr<PostgresAccountStore::Connection> PostgresAccountStore::Connect(Clock::time_point deadline) {
  std::vector<const char*> values;
  for (const std::string& v : values_) values.push_back(v.c_str());
  values.push_back(nullptr);
  auto connection = std::make_unique<Connection>(PQconnectStartParams(keywords_.data(), values.data(), 1));
  PGconn* c = connection->conn;
  const auto fail = [&](const std::string& why) {
    return StoreError("the account database at " + where_ + " cannot be reached: " + Scrub(OneLine(why)));
  };
  if (c == nullptr) throw StoreError("account store: out of memory");
  if (PQstatus(c) == CONNECTION_BAD) throw fail(PQerrorMessage(c));
  PostgresPollingStatusType state = PGRES_POLLING_WRITING;
  while (state != PGRES_POLLING_OK) {
    if (state == PGRES_POLLING_FAILED) throw fail(PQerrorMessage(c));
    const short events = state == PGRES_POLLING_READING ? POLLIN : POLLOUT;
    if (!WaitFor(PQsocket(c), events, deadline)) throw fail("no answer within " + Seconds(options_.call_limit));
    state = PQconnectPoll(c);
  }
  if (PQsetnonblocking(c, 1) != 0) throw fail(PQerrorMessage(c));
  // libpq would print the database's notices on standard error, inside the
  // output of `account list` or amid the server's log.
  PQsetNoticeProcessor(c, [](void*, const char*) {}, nullptr);
  return connection;
}

std::unique_ptr<PostgresAccountStore::Connection> PostgresAccountStore::Take(Clock::time_point deadline) {
  std::vector<std::unique_ptr<Connection>> dead;  // closed once the mutex is free
  {
    MutexLock lock(mutex_);
    for (;;) {
      while (!idle_.empty()) {
        std::unique_ptr<Connection> c = std::move(idle_.back());
        idle_.pop_back();
        // Nothing is due on an idle connection: anything readable is the
        // database saying goodbye (a restart) or the end of the stream.
        pollfd p{PQsocket(c->conn), POLLIN, 0};
        if (PQstatus(c->conn) == CONNECTION_OK && ::poll(&p, 1, 0) == 0) return c;
        dead.push_back(std::move(c));
        --open_;
      }
      if (Clock::now() < quiet_until_) throw StoreError(quiet_reason_);
      if (open_ < options_.pool_size) {
        ++open_;
        break;
      }
      if (!given_back_.WaitUntil(mutex_, deadline) && idle_.empty() && open_ >= options_.pool_size) {
        throw StoreError("the account database at " + where_ + ": all " + std::to_string(options_.pool_size) +
                         " connections stayed busy for " + Seconds(options_.call_limit));
      }
    }
  }
  dead.clear();
  try {
    return Connect(deadline);
  } catch (const StoreError& e) {
    MutexLock lock(mutex_);
    --open_;
    quiet_until_ = Clock::now() + kQuietAfterFailure;
    quiet_reason_ = e.what();
    given_back_.NotifyOne();
    throw;
  }
}

void PostgresAccountStore::Give(std::unique_ptr<Connection> connection, bool healthy) {
  std::unique_ptr<Connection> dead;
  {
    MutexLock lock(mutex_);
    if (healthy) {
      idle_.push_back(std::move(connection));
    } else {
      dead = std::move(connection);
      --open_;
    }
  }
  given_back_.NotifyOne();
}

void PostgresAccountStore::Migrate() {
  Call call(*this);
  call.Run("BEGIN");
  call.Run(("SELECT pg_advisory_xact_lock(" + std::to_string(kMigrationLock) + ")").c_str());
  call.Run("CREATE TABLE IF NOT EXISTS korvan_schema (version integer NOT NULL)");
  const Result r = call.Run("SELECT max(version) FROM korvan_schema");
  const int version = static_cast<int>(Integer(r.get(), 0, 0).value_or(0));
  if (version > kSchemaVersion) {
    throw StoreError("the account database at " + where_ + " was set up by a newer korvan-server (schema " +
                     std::to_string(version) + "; this one knows " + std::to_string(kSchemaVersion) + ")");
  }
  if (version < kSchemaVersion) {
    for (int v = std::max(version, 0); v < kSchemaVersion; ++v) call.Run(kMigrations[v]);
    call.Run(("DELETE FROM korvan_schema; INSERT INTO korvan_schema (version) VALUES (" +
              std::to_string(kSchemaVersion) + ")")
                 .c_str());
  }
  call.Run("COMMIT");
}

bool PostgresAccountStore::PruneDue() {
  MutexLock lock(mutex_);
  const auto now = Clock::now();
  if (now < next_prune_) return false;
  next_prune_ = now + kPruneEvery;
  return true;
}

std::optional<Account> PostgresAccountStore::Find(std::int32_t id) {
  Call call(*this);
  const Result r = call.Run(kFind, Params().Int(id));
  if (PQntuples(r.get()) == 0) return std::nullopt;
  return ReadAccount(r.get(), 0);
}

bool PostgresAccountStore::Insert(const Account& account) {
  Call call(*this);
  return OneRowChanged(call.Run(kInsert, AccountParams(account)).get());
}

bool PostgresAccountStore::Update(const Account& account) {
  Call call(*this);
  return OneRowChanged(call.Run(kUpdate, AccountParams(account)).get());
}

bool PostgresAccountStore::UpdateDetails(const Account& account) {
  Params p;
  p.Int(account.id);
  if (account.login) {
    p.Bytes(account.login->salt).Bytes(account.login->hash).Int(account.login->params.log2_n);
    p.Int(account.login->params.r).Int(account.login->params.p);
  } else {
    p.Null().Null().Null().Null().Null();
  }
  p.Day(account.prepaid_until).Day(account.valid_until).Int(account.further_byte);
  Call call(*this);
  return OneRowChanged(call.Run(kUpdateDetails, p).get());
}

bool PostgresAccountStore::AddCredit(std::int32_t id, double kib) {
  Call call(*this);
  return OneRowChanged(call.Run(kAddCredit, Params().Int(id).Real(kib)).get());
}

std::vector<Account> PostgresAccountStore::List() {
  Call call(*this);
  const Result r = call.Run(kList, Params());
  std::vector<Account> accounts;
  for (int row = 0; row < PQntuples(r.get()); ++row) accounts.push_back(ReadAccount(r.get(), row));
  return accounts;
}

void PostgresAccountStore::Charge(std::int32_t id, const Traffic& traffic, bool charge) {
  Params p;
  p.Int(id).Real(charge ? static_cast<double>(traffic.wire_bytes()) / 1024.0 : 0.0);
  p.Int(traffic.sent_raw).Int(traffic.sent_wire).Int(traffic.received_raw).Int(traffic.received_wire);
  Call call(*this);
  call.Run(kCharge, p);
}

void PostgresAccountStore::ApplyCharges(std::span<const ChargeRecord> records) {
  if (records.empty()) return;
  std::vector<std::string> keys;
  std::vector<std::int32_t> ids;
  std::vector<double> kib;
  std::vector<std::int64_t> sent_raw, sent_wire, received_raw, received_wire;
  for (const ChargeRecord& r : records) {
    keys.push_back(r.key);
    ids.push_back(r.id);
    kib.push_back(r.charge ? static_cast<double>(r.traffic.wire_bytes()) / 1024.0 : 0.0);
    sent_raw.push_back(r.traffic.sent_raw);
    sent_wire.push_back(r.traffic.sent_wire);
    received_raw.push_back(r.traffic.received_raw);
    received_wire.push_back(r.traffic.received_wire);
  }
  Params batch;
  batch.Texts(keys).Numbers(ids).Numbers(kib).Numbers(sent_raw).Numbers(sent_wire).Numbers(received_raw).Numbers(
      received_wire);
  std::vector<std::int32_t> sorted = ids;
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  Params lock;
  lock.Numbers(sorted);
  const bool prune = PruneDue();

  Call call(*this);
  // Before the batch, on its own: should it fail, nothing was applied.
  if (prune) call.Run(kPruneKeys, Params().Text(kKeyLifetime));
  if (sorted.size() == 1) {
    // One statement is one transaction, and one row has no lock order.
    call.Run(kApply, batch);
    return;
  }
  call.Run("BEGIN");
  call.Run(kLockAccounts, lock);
  call.Run(kApply, batch);
  call.Run("COMMIT");
}

bool PostgresAccountStore::TryHold(std::int32_t id, const std::string& server, unsigned count, unsigned limit) {
  CheckText(server);
  Call call(*this);
  if (count == 0) {
    call.Run(kLeaseDrop, Params().Int(id).Text(server));
    return true;
  }
  const Result r = call.Run(kTryHold, Params().Int(id).Text(server).Int(count).Int(limit).Real(
                                          static_cast<double>(options_.lease_time.count())));
  const char* held = Value(r.get(), 0, 0);
  return held != nullptr && std::strcmp(held, "t") == 0;
}

void PostgresAccountStore::Renew(const std::string& server, const std::map<std::int32_t, unsigned>& counts) {
  CheckText(server);
  std::vector<std::int32_t> ids;
  std::vector<std::int64_t> held;
  for (const auto& [id, count] : counts) {
    if (count == 0) continue;
    ids.push_back(id);
    held.push_back(count);
  }
  Call call(*this);
  call.Run("BEGIN");
  call.Run(kRenewDrop, Params().Text(server));
  if (!ids.empty()) {
    call.Run(kRenewInsert, Params().Text(server).Numbers(ids).Numbers(held).Real(
                               static_cast<double>(options_.lease_time.count())));
  }
  call.Run("COMMIT");
}

unsigned PostgresAccountStore::Held(std::int32_t id) {
  Call call(*this);
  const Result r = call.Run(kHeld, Params().Int(id));
  return static_cast<unsigned>(std::max<std::int64_t>(0, Integer(r.get(), 0, 0).value_or(0)));
}

}  // namespace korvan::server
