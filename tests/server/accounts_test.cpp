// The SQLite account store, its upgrade from MD5 digests, the login secrets
// and their cache, and the `account` subcommands.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <sstream>
#include <thread>

#include "server/account_command.h"
#include "server/login_verifier.h"
#include "server/sqlite_account_store.h"
#include "tests/server/server_fixture.h"
#include "wire/frame_format.h"

namespace korvan::server::test {
namespace {

constexpr ScryptParams kQuickScrypt{4, 1, 1};  // where the cost of scrypt is beside the point

std::array<std::uint8_t, 16> Md5(std::string_view text) {
  std::array<std::uint8_t, 16> digest{};
  unsigned int size = 0;
  EXPECT_EQ(EVP_Digest(text.data(), text.size(), digest.data(), &size, EVP_md5(), nullptr), 1);
  return digest;
}

template <typename Bytes>
LoginProof FirstFive(const Bytes& bytes) {
  LoginProof proof{};
  std::copy_n(bytes.begin(), proof.size(), proof.begin());
  return proof;
}

// The file and its write-ahead log as they are on disk.
std::string FileBytes(const std::string& file) {
  std::string bytes;
  for (const std::string& name : {file, file + "-wal"}) {
    std::ifstream in(name, std::ios::binary);
    bytes.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return bytes;
}

template <typename Bytes>
std::string Hex(const Bytes& bytes) {
  std::ostringstream hex;
  for (const std::uint8_t byte : bytes) hex << std::hex << std::setw(2) << std::setfill('0') << int{byte};
  return hex.str();
}

template <typename Bytes>
bool Holds(const std::string& haystack, const Bytes& needle) {
  return haystack.find(std::string(needle.begin(), needle.end())) != std::string::npos;
}

// A file as the first schema wrote it: the password's MD5, no user_version.
struct OldRow {
  std::int32_t id;
  std::string digest;  // as stored; normally 16 bytes
  double credit_kib;
  const char* valid_until;
  std::int64_t sent_wire;
};

void WriteOldStore(const std::string& file, const std::vector<OldRow>& rows) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE accounts (id INTEGER PRIMARY KEY, password_md5 BLOB NOT NULL,"
                         " credit_kib REAL NOT NULL DEFAULT 0, prepaid_until TEXT, valid_until TEXT,"
                         " further_byte INTEGER NOT NULL DEFAULT 0, sent_raw INTEGER NOT NULL DEFAULT 0,"
                         " sent_wire INTEGER NOT NULL DEFAULT 0, received_raw INTEGER NOT NULL DEFAULT 0,"
                         " received_wire INTEGER NOT NULL DEFAULT 0)",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  for (const OldRow& row : rows) {
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "INSERT INTO accounts (id, password_md5, credit_kib, valid_until, sent_wire)"
                                 " VALUES (?1, ?2, ?3, ?4, ?5)",
                                 -1, &stmt, nullptr),
              SQLITE_OK);
    sqlite3_bind_int64(stmt, 1, row.id);
    sqlite3_bind_blob(stmt, 2, row.digest.data(), static_cast<int>(row.digest.size()), SQLITE_TRANSIENT);
    sqlite3_bind_double(stmt, 3, row.credit_kib);
    sqlite3_bind_text(stmt, 4, row.valid_until, -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(stmt, 5, row.sent_wire);
    EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE);
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
}

std::string Digest(std::string_view password) {
  const auto md5 = Md5(password);
  return {md5.begin(), md5.end()};
}

std::vector<OldRow> OldRows() {
  return {{100000001, Digest("demo"), 2048, "2031-05-06", 777},
          {100000002, Digest("pw"), 10, nullptr, 0},
          {100000003, "short", 10, nullptr, 0}};  // a damaged digest opened the old server with zeros
}

int UserVersion(const std::string& file) {
  sqlite3* db = nullptr;
  sqlite3_open(file.c_str(), &db);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &stmt, nullptr);
  const int version = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : -1;
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return version;
}

class AccountsTest : public ::testing::Test {
 protected:
  AccountsTest() : dir_(MakeTempDir()), file_((dir_ / "accounts.db").string()) {}
  ~AccountsTest() override { std::filesystem::remove_all(dir_); }

  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    return RunAccountCommand(args, out_, err_);
  }
  std::optional<Account> Find(std::int32_t id) {
    SqliteAccountStore store(file_, SqliteAccountStore::Mode::kOpenExisting);
    return store.Find(id);
  }
  bool Opens(std::int32_t id, std::string_view password) {
    const auto account = Find(id);
    return account && account->login && VerifyLoginSecret(*account->login, ProofOfPassword(password));
  }

  std::filesystem::path dir_;
  std::string file_;
  std::ostringstream out_, err_;
};

TEST_F(AccountsTest, AddKeepsASlowHashOfTheProofNeitherThePasswordNorItsDigest) {
  ASSERT_EQ(Run({"add", "--accounts", file_, "--id", "100000001", "--password", "demo", "--credit", "2048",
                 "--prepaid-until", "2030-01-02", "--valid-until", "2031-05-06", "--further-byte", "3"}),
            kExitOk)
      << err_.str();
  const auto account = Find(100000001);
  ASSERT_TRUE(account);
  ASSERT_TRUE(account->login);
  EXPECT_EQ(account->login->params, kDefaultScrypt);
  EXPECT_TRUE(Opens(100000001, "demo"));
  EXPECT_FALSE(Opens(100000001, "Demo"));
  EXPECT_EQ(account->credit_kib, 2048);
  EXPECT_EQ(account->prepaid_until, (Date{2030, 1, 2}));
  EXPECT_EQ(account->valid_until, (Date{2031, 5, 6}));
  EXPECT_EQ(account->further_byte, 3);
  const std::string bytes = FileBytes(file_);
  EXPECT_EQ(bytes.find("demo"), std::string::npos);
  EXPECT_FALSE(Holds(bytes, ProofOfPassword("demo")));
}

TEST_F(AccountsTest, AddGivesANewAccountTheDefaultCreditAndRefusesADuplicate) {
  ASSERT_EQ(Run({"add", "--accounts", file_, "--id", "100000001", "--password", "demo"}), kExitOk);
  EXPECT_EQ(Find(100000001)->credit_kib, kDefaultCreditKiB);
  EXPECT_EQ(Run({"add", "--accounts", file_, "--id", "100000001", "--password", "other"}), kExitFailure);
  EXPECT_NE(err_.str().find("exists"), std::string::npos);
  EXPECT_TRUE(Opens(100000001, "demo"));
  EXPECT_FALSE(Opens(100000001, "other"));
}

TEST_F(AccountsTest, SetChangesOnlyWhatItNames) {
  ASSERT_EQ(Run({"add", "--accounts", file_, "--id", "100000001", "--password", "demo", "--credit", "10",
                 "--valid-until", "2031-05-06"}),
            kExitOk);
  const auto before = Find(100000001)->login;
  ASSERT_EQ(Run({"set", "--accounts", file_, "--id", "100000001", "--add-credit", "5", "--prepaid-until",
                 "2030-01-02"}),
            kExitOk)
      << err_.str();
  auto account = Find(100000001);
  EXPECT_EQ(account->credit_kib, 15);
  EXPECT_EQ(account->prepaid_until, (Date{2030, 1, 2}));
  EXPECT_EQ(account->valid_until, (Date{2031, 5, 6}));
  EXPECT_EQ(account->login, before);

  ASSERT_EQ(Run({"set", "--accounts", file_, "--id", "100000001", "--valid-until", "none", "--password", "new"}),
            kExitOk);
  EXPECT_FALSE(Find(100000001)->valid_until);
  EXPECT_TRUE(Opens(100000001, "new"));
  EXPECT_FALSE(Opens(100000001, "demo"));
  EXPECT_EQ(Run({"set", "--accounts", file_, "--id", "100000002", "--credit", "1"}), kExitFailure);
}

TEST_F(AccountsTest, ShowAndListReportTheAccountsButNoSecret) {
  Run({"add", "--accounts", file_, "--id", "100000002", "--password", "b", "--credit", "1.5"});
  Run({"add", "--accounts", file_, "--id", "100000001", "--password", "a", "--valid-until", "2031-05-06"});
  ASSERT_EQ(Run({"show", "--accounts", file_, "--id", "100000002"}), kExitOk);
  EXPECT_NE(out_.str().find("credit-kib: 1.50\n"), std::string::npos);
  EXPECT_NE(out_.str().find("valid-until: none\n"), std::string::npos);
  EXPECT_NE(out_.str().find("password: set\n"), std::string::npos);
  const LoginSecret secret = *Find(100000002)->login;
  EXPECT_EQ(out_.str().find(Hex(secret.hash)), std::string::npos);
  EXPECT_EQ(out_.str().find(Hex(secret.salt)), std::string::npos);
  EXPECT_FALSE(Holds(out_.str(), FirstFive(secret.hash)));
  EXPECT_FALSE(Holds(out_.str(), FirstFive(secret.salt)));
  ASSERT_EQ(Run({"list", "--accounts", file_}), kExitOk);
  EXPECT_EQ(out_.str(),
            "100000001 credit-kib=1048576.00 prepaid-until=none valid-until=2031-05-06\n"
            "100000002 credit-kib=1.50 prepaid-until=none valid-until=none\n");
  EXPECT_EQ(Run({"show", "--accounts", file_, "--id", "100000003"}), kExitFailure);
}

TEST_F(AccountsTest, UsageMistakesExitWithTwoAndNameTheProblem) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "add, set, show or list"},
      {{"remove"}, "unknown account command"},
      {{"add", "--accounts", file_, "--password", "x"}, "--id is required"},
      {{"add", "--accounts", file_, "--id", "12", "--password", "x"}, "100000000 to 999999999"},
      {{"add", "--accounts", file_, "--id", "100000001", "--password", "x", "--credit", "-1"}, "--credit"},
      {{"add", "--accounts", file_, "--id", "100000001", "--password", "x", "--valid-until", "2023-02-30"},
       "YYYY-MM-DD"},
      {{"add", "--accounts", file_, "--id", "100000001", "--password"}, "needs a value"},
      {{"add", "--accounts", file_, "--id", "100000001", "--password", "x", "--colour", "red"}, "--colour"},
      {{"set", "--accounts", file_, "--id", "100000001", "--credit", "1", "--add-credit", "1"}, "not both"},
      {{"add", "--accounts", file_, "--id", "100000001", "--password", "x", "--further-byte", "256"}, "0 to 255"},
  };
  for (const auto& [args, message] : cases) {
    EXPECT_EQ(Run(args), kExitUsage);
    EXPECT_NE(err_.str().find(message), std::string::npos) << err_.str();
  }
  EXPECT_FALSE(std::filesystem::exists(file_));
}

TEST_F(AccountsTest, AMissingOrForeignFileIsAFailureNotACrash) {
  EXPECT_EQ(Run({"list", "--accounts", file_}), kExitFailure);
  EXPECT_FALSE(std::filesystem::exists(file_));
  {
    std::ofstream junk(file_);
    junk << "this is not a database, only some text that is long enough to look like a header........";
  }
  EXPECT_EQ(Run({"list", "--accounts", file_}), kExitFailure);
  EXPECT_NE(err_.str().find("account file"), std::string::npos);
}

TEST_F(AccountsTest, ChargeAddsTotalsAndTakesCreditOnlyWhenAsked) {
  SqliteAccountStore store(file_, SqliteAccountStore::Mode::kCreateIfMissing);
  Account account;
  account.id = 100000001;
  account.credit_kib = 100;
  ASSERT_TRUE(store.Insert(account));
  store.Charge(account.id, {10, 1024, 30, 2048}, true);
  store.Charge(account.id, {1, 512, 1, 512}, false);
  const auto after = store.Find(account.id);
  EXPECT_EQ(after->credit_kib, 97);
  EXPECT_EQ(after->totals.sent_raw, 11);
  EXPECT_EQ(after->totals.sent_wire, 1536);
  EXPECT_EQ(after->totals.received_raw, 31);
  EXPECT_EQ(after->totals.received_wire, 2560);
  EXPECT_FALSE(after->login);
  // Update leaves the totals alone.
  account.credit_kib = 5;
  ASSERT_TRUE(store.Update(account));
  EXPECT_EQ(store.Find(account.id)->totals.sent_wire, 1536);
  Account missing;
  missing.id = 100000009;
  EXPECT_FALSE(store.Update(missing));
}

TEST_F(AccountsTest, TwoStoresOnOneFileSeeEachOthersCharges) {
  SqliteAccountStore server_side(file_, SqliteAccountStore::Mode::kCreateIfMissing);
  Account account;
  account.id = 100000001;
  account.credit_kib = 10;
  server_side.Insert(account);
  ASSERT_EQ(Run({"set", "--accounts", file_, "--id", "100000001", "--add-credit", "90"}), kExitOk);
  server_side.Charge(account.id, {0, 1024, 0, 0}, true);
  EXPECT_EQ(server_side.Find(account.id)->credit_kib, 99);
}

// Upgrading a file of MD5 digests

TEST_F(AccountsTest, AnOldStoreIsRewrittenOnFirstOpenAndLeftAloneAfter) {
  WriteOldStore(file_, OldRows());
  std::vector<Account> first;
  {
    SqliteAccountStore store(file_, SqliteAccountStore::Mode::kOpenExisting);
    first = store.List();
    // Already while the store is open, not only once it closes.
    const std::string bytes = FileBytes(file_);
    for (const auto& row : OldRows()) {
      EXPECT_FALSE(Holds(bytes, row.digest)) << row.id;
      EXPECT_FALSE(Holds(bytes, FirstFive(row.digest))) << row.id;
    }
  }
  EXPECT_EQ(UserVersion(file_), 2);
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(first[0].credit_kib, 2048);
  EXPECT_EQ(first[0].valid_until, (Date{2031, 5, 6}));
  EXPECT_EQ(first[0].totals.sent_wire, 777);
  EXPECT_TRUE(Opens(100000001, "demo"));
  EXPECT_TRUE(Opens(100000002, "pw"));
  EXPECT_FALSE(Opens(100000002, "demo"));
  EXPECT_FALSE(first[2].login);
  EXPECT_NE(first[0].login->salt, first[1].login->salt);

  SqliteAccountStore again(file_, SqliteAccountStore::Mode::kOpenExisting);
  const auto second = again.List();
  ASSERT_EQ(second.size(), first.size());
  for (std::size_t i = 0; i < first.size(); ++i) EXPECT_EQ(second[i].login, first[i].login) << i;
}

TEST_F(AccountsTest, TwoProgramsOpeningAnOldStoreAtOnceUpgradeItOnce) {
  WriteOldStore(file_, OldRows());
  std::optional<Account> seen[2];
  std::string errors[2];
  const auto open = [&](int i) {
    try {
      seen[i] = SqliteAccountStore(file_, SqliteAccountStore::Mode::kOpenExisting).Find(100000001);
    } catch (const StoreError& e) {
      errors[i] = e.what();
    }
  };
  std::thread other(open, 1);
  open(0);
  other.join();
  ASSERT_TRUE(seen[0] && seen[1]) << errors[0] << errors[1];
  EXPECT_EQ(seen[0]->login, seen[1]->login);
  EXPECT_EQ(Find(100000001)->login, seen[0]->login);
}

TEST_F(AccountsTest, AnOldStoreThatCannotBeWrittenIsAClearErrorAndKeepsItsDigests) {
  WriteOldStore(file_, OldRows());
  ASSERT_EQ(::chmod(file_.c_str(), 0444), 0);
  // As root the file's mode would not stop the writes; the child drops to nobody.
  const auto open_unprivileged = [&] {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) std::_Exit(4);
    try {
      SqliteAccountStore store(file_, SqliteAccountStore::Mode::kOpenExisting);
    } catch (const StoreError& e) {
      std::cerr << e.what() << std::endl;
      std::_Exit(3);
    }
    std::_Exit(0);
  };
  EXPECT_EXIT(open_unprivileged(), ::testing::ExitedWithCode(3), "read-only");
  EXPECT_EQ(UserVersion(file_), 0);
  EXPECT_TRUE(Holds(FileBytes(file_), OldRows()[0].digest));
}

TEST_F(AccountsTest, AStoreOfANewerSchemaIsRefused) {
  { SqliteAccountStore store(file_, SqliteAccountStore::Mode::kCreateIfMissing); }
  sqlite3* db = nullptr;
  sqlite3_open(file_.c_str(), &db);
  sqlite3_exec(db, "PRAGMA user_version = 7", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  EXPECT_EQ(Run({"list", "--accounts", file_}), kExitFailure);
  EXPECT_NE(err_.str().find("newer"), std::string::npos) << err_.str();
}

TEST_F(AccountsTest, AFileOfSchemaOneGetsTheChargeKeysAndKeepsItsAccounts) {
  {
    SqliteAccountStore store(file_, SqliteAccountStore::Mode::kCreateIfMissing);
    Account account;
    account.id = 100000001;
    account.credit_kib = 50;
    account.login = MakeLoginSecret(ProofOfPassword("demo"), kQuickScrypt);
    ASSERT_TRUE(store.Insert(account));
    store.Charge(account.id, {5, 1024, 0, 0}, true);
  }
  // Back to what schema 1 wrote: no table of applied keys.
  sqlite3* db = nullptr;
  sqlite3_open(file_.c_str(), &db);
  ASSERT_EQ(sqlite3_exec(db, "DROP TABLE applied_charges; PRAGMA user_version = 1", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);

  SqliteAccountStore store(file_, SqliteAccountStore::Mode::kOpenExisting);
  EXPECT_EQ(UserVersion(file_), 2);
  const auto kept = store.Find(100000001);
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->credit_kib, 49);
  EXPECT_EQ(kept->totals.sent_raw, 5);
  EXPECT_TRUE(VerifyLoginSecret(*kept->login, ProofOfPassword("demo")));
  const std::vector<ChargeRecord> batch = {{100000001, {0, 2048, 0, 0}, true, "key"}};
  store.ApplyCharges(batch);
  store.ApplyCharges(batch);
  EXPECT_EQ(store.Find(100000001)->credit_kib, 47);
}

// Login secrets and the cache of verified logins

TEST(LoginSecrets, TheProofIsWhatTheClientSendsAndOnlyItOpensTheSecret) {
  EXPECT_EQ(ProofOfPassword("demo"), (LoginProof{0xfe, 0x01, 0xce, 0x2a, 0x7f}));  // MD5 fe01ce2a7f...
  const LoginProof proof = ProofOfPassword("demo");
  const LoginSecret secret = MakeLoginSecret(proof);
  EXPECT_TRUE(VerifyLoginSecret(secret, proof));
  for (std::size_t i = 0; i < proof.size(); ++i) {
    LoginProof wrong = proof;
    wrong[i] ^= 0x01;
    EXPECT_FALSE(VerifyLoginSecret(secret, wrong)) << i;
  }
  // A copied file gives salt and hash; neither is a proof.
  EXPECT_FALSE(VerifyLoginSecret(secret, FirstFive(secret.hash)));
  EXPECT_FALSE(VerifyLoginSecret(secret, FirstFive(secret.salt)));
  const LoginSecret again = MakeLoginSecret(proof);
  EXPECT_NE(again.salt, secret.salt);
  EXPECT_NE(again.hash, secret.hash);

  // Parameters are the row's own; absurd ones are refused, not run.
  LoginSecret hostile = MakeLoginSecret(proof, kQuickScrypt);
  EXPECT_TRUE(VerifyLoginSecret(hostile, proof));
  hostile.params = {30, 64, 16};
  EXPECT_FALSE(VerifyLoginSecret(hostile, proof));
  EXPECT_THROW(MakeLoginSecret(proof, {0, 8, 1}), std::runtime_error);
}

TEST_F(AccountsTest, EachRowKeepsItsOwnScryptParameters) {
  SqliteAccountStore store(file_, SqliteAccountStore::Mode::kCreateIfMissing);
  Account account;
  account.id = 100000001;
  account.login = MakeLoginSecret(ProofOfPassword("demo"), {10, 4, 2});
  ASSERT_TRUE(store.Insert(account));
  const auto found = store.Find(account.id);
  EXPECT_EQ(found->login, account.login);
  EXPECT_TRUE(VerifyLoginSecret(*found->login, ProofOfPassword("demo")));
}

Account QuickAccount(std::int32_t id, std::string_view password) {
  Account account;
  account.id = id;
  account.login = MakeLoginSecret(ProofOfPassword(password), kQuickScrypt);
  return account;
}

TEST(LoginCache, RemembersOnlyGoodProofsForTheSecretTheyWereCheckedAgainst) {
  LoginVerifier verifier;
  Account account = QuickAccount(100000001, "demo");
  EXPECT_FALSE(verifier.Verify(account, ProofOfPassword("Demo")));
  EXPECT_EQ(verifier.size(), 0u);
  EXPECT_TRUE(verifier.Verify(account, ProofOfPassword("demo")));
  EXPECT_EQ(verifier.size(), 1u);
  EXPECT_TRUE(verifier.Verify(account, ProofOfPassword("demo")));
  EXPECT_FALSE(verifier.Verify(account, ProofOfPassword("Demo")));  // a remembered login lets no other proof in

  // A new password: the remembered proof no longer opens the account.
  account.login = MakeLoginSecret(ProofOfPassword("new"), kQuickScrypt);
  EXPECT_FALSE(verifier.Verify(account, ProofOfPassword("demo")));
  EXPECT_TRUE(verifier.Verify(account, ProofOfPassword("new")));
  account.login.reset();
  EXPECT_FALSE(verifier.Verify(account, ProofOfPassword("new")));
}

TEST(LoginCache, StaysBoundedAndRightUnderThreads) {
  LoginVerifier verifier(4);
  std::vector<Account> accounts;
  for (int i = 0; i < 10; ++i) accounts.push_back(QuickAccount(100000001 + i, "pw" + std::to_string(i)));
  std::atomic<int> wrong_answers{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int n = 0; n < 200; ++n) {
        const std::size_t i = static_cast<std::size_t>(n * 7 + t) % accounts.size();
        const bool good = (n + t) % 3 != 0;
        const std::string password = "pw" + std::to_string(good ? i : i + 1);
        if (verifier.Verify(accounts[i], ProofOfPassword(password)) != good) ++wrong_answers;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong_answers, 0);
  EXPECT_EQ(verifier.size(), 4u);
}

// Through a real server

class AccountLoginTest : public ServerTest {
 protected:
  enum class Answer { kIn, kRefused, kOther };

  // Opens a tunnel connection with `proof` as the login, for the SMTP
  // service (which answers 421 at once here) or the account query.
  Answer LogIn(std::int32_t id, const LoginProof& proof, Protocol protocol) {
    LoginBlock block = MakeLoginBlock(id, "", TestWords()->version(), 0);
    std::copy(proof.begin(), proof.end(), block.begin() + 4);
    auto client = Connect();
    client->decode_frames = protocol != Protocol::kAccountQuery;
    client->SendRaw(BuildOpening(block, 0xF7, 0, MakeServiceByte(protocol, 0), false));
    if (!client->WaitForClose()) return Answer::kOther;
    if (protocol == Protocol::kAccountQuery) {
      if (client->raw.size() == 58) return Answer::kIn;
      return client->raw == Bytes{0x0C, 0x01, 0x67} ? Answer::kRefused : Answer::kOther;
    }
    if (client->data.rfind("421 ", 0) == 0) return Answer::kIn;
    return client->raw == Bytes{0x0C, 0x01, ckLoginFailed} ? Answer::kRefused : Answer::kOther;
  }
  Answer LogIn(std::int32_t id, std::string_view password, Protocol protocol = Protocol::kSmtp) {
    return LogIn(id, ProofOfPassword(password), protocol);
  }
};

TEST_F(AccountLoginTest, AccountsOfAnUpgradedStoreStillLogIn) {
  const std::string file = (dir_ / "old.db").string();
  WriteOldStore(file, OldRows());
  config_.accounts = file;
  store_ = std::make_shared<SqliteAccountStore>(file, SqliteAccountStore::Mode::kOpenExisting);
  StartServer();
  for (const Protocol protocol : {Protocol::kSmtp, Protocol::kAccountQuery}) {
    EXPECT_EQ(LogIn(100000001, "demo", protocol), Answer::kIn);
    EXPECT_EQ(LogIn(100000002, "pw", protocol), Answer::kIn);
    EXPECT_EQ(LogIn(100000002, "demo", protocol), Answer::kRefused);
    EXPECT_EQ(LogIn(100000003, LoginProof{}, protocol), Answer::kRefused);
  }
  const std::string bytes = FileBytes(file);
  for (const auto& row : OldRows()) EXPECT_FALSE(Holds(bytes, row.digest)) << row.id;
}

TEST_F(AccountLoginTest, TheBytesOfACopiedStoreAreNoProof) {
  StartServer();
  ASSERT_EQ(LogIn(kDemoId, "demo"), Answer::kIn);
  const LoginSecret secret = *store_->Find(kDemoId)->login;
  const std::string bytes = FileBytes(config_.accounts.string());
  ASSERT_TRUE(Holds(bytes, secret.hash));  // what a copy of the file gives away
  for (const Protocol protocol : {Protocol::kSmtp, Protocol::kAccountQuery}) {
    EXPECT_EQ(LogIn(kDemoId, FirstFive(secret.hash), protocol), Answer::kRefused);
    EXPECT_EQ(LogIn(kDemoId, FirstFive(secret.salt), protocol), Answer::kRefused);
  }
}

TEST_F(AccountLoginTest, APasswordChangedWithAccountSetRefusesTheRememberedLogin) {
  StartServer();
  ASSERT_EQ(LogIn(kDemoId, "demo"), Answer::kIn);
  ASSERT_EQ(LogIn(kDemoId, "demo"), Answer::kIn);  // now from the cache
  std::ostringstream out, err;
  ASSERT_EQ(RunAccountCommand({"set", "--accounts", config_.accounts.string(), "--id", std::to_string(kDemoId),
                               "--password", "changed"},
                              out, err),
            kExitOk)
      << err.str();
  EXPECT_EQ(LogIn(kDemoId, "demo"), Answer::kRefused);
  EXPECT_EQ(LogIn(kDemoId, "demo", Protocol::kAccountQuery), Answer::kRefused);
  EXPECT_EQ(LogIn(kDemoId, "changed"), Answer::kIn);
  EXPECT_EQ(LogIn(kDemoId, "changed"), Answer::kIn);
}

}  // namespace
}  // namespace korvan::server::test
