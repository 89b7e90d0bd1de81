// The SQLite account store and the `account` subcommands.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "server/account_command.h"
#include "server/sqlite_account_store.h"
#include "tests/server/server_fixture.h"

namespace korvan::server::test {
namespace {

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

  std::filesystem::path dir_;
  std::string file_;
  std::ostringstream out_, err_;
};

TEST_F(AccountsTest, AddKeepsTheDigestNotThePassword) {
  ASSERT_EQ(Run({"add", "--accounts", file_, "--id", "100000001", "--password", "demo", "--credit", "2048",
                 "--prepaid-until", "2030-01-02", "--valid-until", "2031-05-06", "--further-byte", "3"}),
            kExitOk)
      << err_.str();
  const auto account = Find(100000001);
  ASSERT_TRUE(account);
  EXPECT_EQ(account->password_md5, PasswordMd5(ToBytes("demo")));
  EXPECT_EQ(account->credit_kib, 2048);
  EXPECT_EQ(account->prepaid_until, (Date{2030, 1, 2}));
  EXPECT_EQ(account->valid_until, (Date{2031, 5, 6}));
  EXPECT_EQ(account->further_byte, 3);
  std::ifstream in(file_, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_EQ(bytes.find("demo"), std::string::npos);
}

TEST_F(AccountsTest, AddGivesANewAccountTheDefaultCreditAndRefusesADuplicate) {
  ASSERT_EQ(Run({"add", "--accounts", file_, "--id", "100000001", "--password", "demo"}), kExitOk);
  EXPECT_EQ(Find(100000001)->credit_kib, kDefaultCreditKiB);
  EXPECT_EQ(Run({"add", "--accounts", file_, "--id", "100000001", "--password", "other"}), kExitFailure);
  EXPECT_NE(err_.str().find("exists"), std::string::npos);
  EXPECT_EQ(Find(100000001)->password_md5, PasswordMd5(ToBytes("demo")));
}

TEST_F(AccountsTest, SetChangesOnlyWhatItNames) {
  ASSERT_EQ(Run({"add", "--accounts", file_, "--id", "100000001", "--password", "demo", "--credit", "10",
                 "--valid-until", "2031-05-06"}),
            kExitOk);
  ASSERT_EQ(Run({"set", "--accounts", file_, "--id", "100000001", "--add-credit", "5", "--prepaid-until",
                 "2030-01-02"}),
            kExitOk)
      << err_.str();
  auto account = Find(100000001);
  EXPECT_EQ(account->credit_kib, 15);
  EXPECT_EQ(account->prepaid_until, (Date{2030, 1, 2}));
  EXPECT_EQ(account->valid_until, (Date{2031, 5, 6}));
  EXPECT_EQ(account->password_md5, PasswordMd5(ToBytes("demo")));

  ASSERT_EQ(Run({"set", "--accounts", file_, "--id", "100000001", "--valid-until", "none", "--password", "new"}),
            kExitOk);
  account = Find(100000001);
  EXPECT_FALSE(account->valid_until);
  EXPECT_EQ(account->password_md5, PasswordMd5(ToBytes("new")));
  EXPECT_EQ(Run({"set", "--accounts", file_, "--id", "100000002", "--credit", "1"}), kExitFailure);
}

TEST_F(AccountsTest, ShowAndListReportTheAccounts) {
  Run({"add", "--accounts", file_, "--id", "100000002", "--password", "b", "--credit", "1.5"});
  Run({"add", "--accounts", file_, "--id", "100000001", "--password", "a", "--valid-until", "2031-05-06"});
  ASSERT_EQ(Run({"show", "--accounts", file_, "--id", "100000002"}), kExitOk);
  EXPECT_NE(out_.str().find("credit-kib: 1.50\n"), std::string::npos);
  EXPECT_NE(out_.str().find("valid-until: none\n"), std::string::npos);
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

TEST(AccountRules, CreditPrepaidAndValidity) {
  Account a;
  const Date today{2030, 6, 15};
  a.credit_kib = 0;
  EXPECT_FALSE(HasCredit(a, today));
  a.prepaid_until = today;
  EXPECT_TRUE(HasCredit(a, today));  // the whole last day is prepaid
  a.prepaid_until = Date{2030, 6, 14};
  EXPECT_FALSE(HasCredit(a, today));
  a.valid_until = today;
  EXPECT_FALSE(IsExpired(a, today));
  EXPECT_TRUE(IsExpired(a, Date{2030, 6, 16}));
  a.password_md5 = PasswordMd5(ToBytes("demo"));
  const auto prefix = PasswordDigestPrefix("demo");
  EXPECT_TRUE(PasswordMatches(a, prefix));
  EXPECT_FALSE(PasswordMatches(a, PasswordDigestPrefix("Demo")));
}

}  // namespace
}  // namespace korvan::server::test
