#include "tests/cluster/cluster_fixture.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "server/password_hash.h"
#include "tests/cluster/cluster_programs.h"
#include "tests/server/origins.h"
#include "tests/server/server_fixture.h"
#include "tests/support/test_paths.h"
#include "wire/word_list.h"

namespace korvan::cluster_test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::unique_ptr<test::PostgresCluster> ClusterTest::database_;
std::string ClusterTest::no_database_;

namespace {

std::vector<std::string> SplitCsv(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
  return fields;
}

}  // namespace

void ClusterTest::SetUpTestSuite() {
  if (!database_) database_ = test::PostgresCluster::Start(&no_database_);
}

void ClusterTest::TearDownTestSuite() { database_.reset(); }

void ClusterTest::SetUp() {
  if (!database_) GTEST_SKIP() << "no PostgreSQL cluster: " << no_database_;
  const auto haproxy = test::FindProgram("haproxy");
  if (!haproxy) GTEST_SKIP() << "haproxy is not installed (scripts/install-deps.sh installs it)";
  haproxy_ = haproxy->string();
  dir_ = server::test::MakeTempDir();
  static int serial = 0;
  url_ = database_->CreateDatabase("cluster_" + std::to_string(::getpid()) + "_" + std::to_string(++serial));
  store_ = std::make_shared<server::PostgresAccountStore>(url_);
  server::Account account;
  account.id = kAccount;
  account.login = server::MakeLoginSecret(server::ProofOfPassword("demo"));
  account.credit_kib = kStartCreditKiB;
  ASSERT_TRUE(store_->Insert(account));
  std::ofstream words(dir_ / "words.lvk", std::ios::binary);
  const auto bytes = SerializeWordListFile(*server::test::TestWords());
  words.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void ClusterTest::TearDown() {
  balancer_.reset();
  for (auto& s : servers_) s.process.reset();
  if (HasFailure()) {
    for (std::size_t i = 0; i < 2; ++i) std::cerr << "server " << i << " said:\n" << ServerOutput(i) << "\n";
  }
  store_.reset();
  if (!dir_.empty()) fs::remove_all(dir_);
}

void ClusterTest::StartServer(std::size_t index, const std::vector<std::string>& extra) {
  ServerProgram& s = servers_[index];
  s = ServerProgram{};
  std::vector<std::string> args{"--listen", "127.0.0.1:0", "--admin", "127.0.0.1:0", "--words",
                                (dir_ / "words.lvk").string(), "--accounts", url_, "--allow-private",
                                // A light level: the tests measure consistency, not packing.
                                "--deflate-level", "1", "--charge-spool",
                                (dir_ / ("charges-" + std::to_string(index))).string(),
                                // Behind the balancer every connection comes from its address.
                                "--max-pending-per-address", "1000"};
  args.insert(args.end(), extra.begin(), extra.end());
  const auto output = dir_ / ("server-" + std::to_string(index) + ".txt");
  s.process = std::make_unique<test::ChildProcess>(test::BinDir() / "korvan-server", args, output);
  for (int i = 0; i < 500; ++i) {
    const std::string text = s.process->Output();
    const auto port = PortAfter(text, "listening on 127.0.0.1:");
    const auto admin = PortAfter(text, "admin on 127.0.0.1:");
    if (port && admin) {
      s.port = *port;
      s.admin = *admin;
      return;
    }
    std::this_thread::sleep_for(20ms);
  }
  FAIL() << "korvan-server " << index << " did not start:\n" << s.process->Output();
}

void ClusterTest::StartServers(const std::vector<std::string>& extra) {
  StartServer(0, extra);
  StartServer(1, extra);
}

void ClusterTest::StartBalancer(bool name_clients) {
  const std::string proxy_header = name_clients ? " send-proxy-v2" : "";
  front_ = server::test::ClosedPort();
  // A refused connection is tried again on the other server; the health
  // check takes a draining or dead server out within a few tenths.
  std::ofstream(dir_ / "haproxy.cfg")
      << "global\n  maxconn 4096\n  log stderr format raw local0\n"
      << "  stats socket " << (dir_ / "haproxy.sock").string() << " mode 600 level admin\n"
      << "defaults\n  mode tcp\n  log global\n  option tcplog\n"
      << "  timeout connect 1s\n  timeout client 120s\n  timeout server 120s\n  retries 3\n  option redispatch 1\n"
      << "frontend tunnel\n  bind 127.0.0.1:" << front_ << "\n  default_backend korvan\n"
      << "backend korvan\n  balance roundrobin\n  option httpchk GET /healthz\n"
      << "  default-server inter 200ms fall 2 rise 2\n"
      << "  server a 127.0.0.1:" << servers_[0].port << " check port " << servers_[0].admin << proxy_header << "\n"
      << "  server b 127.0.0.1:" << servers_[1].port << " check port " << servers_[1].admin << proxy_header << "\n";
  balancer_ = std::make_unique<test::ChildProcess>(
      fs::path(haproxy_), std::vector<std::string>{"-db", "-f", (dir_ / "haproxy.cfg").string()},
      dir_ / "haproxy.log");
  // Both servers up in the balancer's view.
  for (int i = 0; i < 250; ++i) {
    const std::string stat = UnixRequest(dir_ / "haproxy.sock", "show stat\n");
    int up = 0;
    std::stringstream lines(stat);
    for (std::string line; std::getline(lines, line);) {
      const auto f = SplitCsv(line);
      if (f.size() > 17 && f[0] == "korvan" && (f[1] == "a" || f[1] == "b") && f[17] == "UP") ++up;
    }
    if (up == 2) return;
    std::this_thread::sleep_for(20ms);
  }
  FAIL() << "HAProxy did not see both servers up:\n" << BalancerLog();
}

BalancerBytes ClusterTest::Balanced() {
  // The backend's row: bin (column 8) from the clients, bout (9) to them.
  const std::string stat = UnixRequest(dir_ / "haproxy.sock", "show stat\n");
  std::stringstream lines(stat);
  for (std::string line; std::getline(lines, line);) {
    const auto f = SplitCsv(line);
    if (f.size() > 9 && f[0] == "korvan" && f[1] == "BACKEND") {
      return BalancerBytes{std::stoll(f[8]), std::stoll(f[9])};
    }
  }
  ADD_FAILURE() << "no backend row in HAProxy's statistics:\n" << stat;
  return {};
}

std::string ClusterTest::BalancerLog() const { return test::ReadFileText(dir_ / "haproxy.log"); }

double ClusterTest::Metric(std::size_t index, const std::string& series) {
  const std::string body = server::test::HttpBody(server::test::HttpGet(servers_[index].admin, "/metrics"));
  std::stringstream lines(body);
  for (std::string line; std::getline(lines, line);) {
    if (line.size() > series.size() && line.compare(0, series.size(), series) == 0 && line[series.size()] == ' ') {
      return std::stod(line.substr(series.size() + 1));
    }
  }
  return -1;
}

std::string ClusterTest::ServerOutput(std::size_t index) const {
  return servers_[index].process ? servers_[index].process->Output()
                                 : test::ReadFileText(dir_ / ("server-" + std::to_string(index) + ".txt"));
}

server::Account ClusterTest::Stored() {
  const auto account = store_->Find(kAccount);
  EXPECT_TRUE(account);
  return account.value_or(server::Account{});
}

bool ClusterTest::WaitForTotals(std::int64_t sent, std::int64_t received, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto totals = Stored().totals;
    if (totals.sent_wire == sent && totals.received_wire == received) return true;
    if (totals.sent_wire > sent || totals.received_wire > received) return false;  // charged twice
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
}

std::string Body(std::size_t size) {
  static const std::string text = server::test::SampleHtml();
  std::string body;
  for (std::uint32_t piece = 0; body.size() < size; ++piece) {
    body += piece % 2 == 0 ? text : server::test::RandomBytes(8192, piece);
  }
  body.resize(size);
  return body;
}

struct Sender::Impl {
  Impl(std::size_t size, std::size_t piece, std::chrono::milliseconds pause)
      : body(Body(size)),
        server([this, piece, pause](int fd) {
          for (std::size_t at = 0; at < body.size(); at += piece) {
            if (at > 0 && pause.count() > 0) std::this_thread::sleep_for(pause);
            if (!server::test::SendAllTo(fd, body.data() + at, std::min(piece, body.size() - at))) return;
          }
          ::shutdown(fd, SHUT_WR);
        }) {}
  std::string body;
  server::test::LoopbackServer server;
};

Sender::Sender(std::size_t size, std::size_t piece, std::chrono::milliseconds pause)
    : impl_(std::make_unique<Impl>(size, piece, pause)) {}
Sender::~Sender() = default;
std::uint16_t Sender::port() const { return impl_->server.port(); }

Download RunDownload(std::uint16_t front, std::uint16_t sender_port, std::size_t size,
                     std::chrono::milliseconds limit) {
  Download d;
  d.client = std::make_unique<TunnelClient>(front);
  d.client->Open({}, Protocol::kTcpIp, "Host: 127.0.0.1:" + std::to_string(sender_port) + "\r\n\r\n");
  d.client->ReadUntil([&] { return d.client->closed; }, limit);
  if (!d.client->controls.empty()) {
    d.problem = "refused: control " + std::to_string(d.client->controls[0].kind) + " " + d.client->controls[0].text();
  } else if (d.client->data.size() != size) {
    d.problem = "got " + std::to_string(d.client->data.size()) + " of " + std::to_string(size) + " bytes";
  } else if (d.client->data != Body(size)) {
    d.problem = "corrupt bytes";
  } else {
    d.complete = true;
  }
  return d;
}

}  // namespace korvan::cluster_test
