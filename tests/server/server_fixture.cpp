#include "tests/server/server_fixture.h"

#include <unistd.h>

#include <atomic>

#include "server/log.h"

namespace korvan::server::test {

std::filesystem::path MakeTempDir() {
  static std::atomic<int> counter{0};
  const auto dir = std::filesystem::temp_directory_path() /
                   ("korvan-server-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

ServerTest::ServerTest() : dir_(MakeTempDir()) {
  SetLogEnabled(false);
  config_.listen = {"127.0.0.1", 0};
  config_.allow_private = true;  // every target of the tests is on loopback
  config_.accounts = dir_ / "accounts.db";
  store_ = std::make_shared<SqliteAccountStore>(config_.accounts, SqliteAccountStore::Mode::kCreateIfMissing);
  AddAccount(kDemoId, "demo");
}

ServerTest::~ServerTest() {
  StopServer();
  store_.reset();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

Account ServerTest::AddAccount(std::int32_t id, const std::string& password, double credit_kib) {
  Account account;
  account.id = id;
  account.login = MakeLoginSecret(ProofOfPassword(password));
  account.credit_kib = credit_kib;
  store_->Insert(account);
  return account;
}

void ServerTest::StartServer() {
  server_ = std::make_unique<Server>(config_, TestWords(), store_);
  server_->Start();
  port_ = server_->endpoint().port();
  thread_ = std::thread([this] { server_->Run(); });
}

void ServerTest::StopServer() {
  if (!server_) return;
  server_->Stop();
  thread_.join();
  server_.reset();
}

}  // namespace korvan::server::test
