#include "tests/server/server_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

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
  if (const auto admin = server_->admin_endpoint()) admin_port_ = admin->port();
  run_returned_ = false;
  thread_ = std::thread([this] {
    server_->Run();
    run_returned_ = true;
  });
}

void ServerTest::StopServer() {
  if (!server_) return;
  server_->Stop();
  thread_.join();
  server_.reset();
}

std::string HttpExchange(std::uint16_t port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char chunk[4096];
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
      pollfd p{fd, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      answer.append(chunk, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return answer;
}

std::string HttpGet(std::uint16_t port, const std::string& path) {
  return HttpExchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

int HttpStatus(const std::string& answer) {
  if (answer.size() < 12 || answer.compare(0, 5, "HTTP/") != 0) return 0;
  return std::atoi(answer.c_str() + 9);
}

std::string HttpBody(const std::string& answer) {
  const auto end = answer.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

}  // namespace korvan::server::test
