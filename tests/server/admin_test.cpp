// The admin endpoint (health check and metrics over HTTP) and the drain.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "server/server_metrics.h"
#include "tests/server/http_answers.h"
#include "tests/server/origins.h"
#include "tests/server/server_fixture.h"
#include "wire/frame_format.h"

extern char** environ;

namespace korvan::server::test {
namespace {

// The value of one series ("name" or "name{labels}") in a metrics text.
std::optional<double> Sample(const std::string& text, const std::string& series) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.size() > series.size() && line.compare(0, series.size(), series) == 0 && line[series.size()] == ' ') {
      return std::stod(line.substr(series.size() + 1));
    }
  }
  return std::nullopt;
}

std::string Tunnel(const char* service, const char* direction) {
  return std::string("korvan_tunnel_bytes_total{service=\"") + service + "\",direction=\"" + direction + "\"}";
}
std::string Payload(const char* service, const char* direction) {
  return std::string("korvan_payload_bytes_total{service=\"") + service + "\",direction=\"" + direction + "\"}";
}

// A TCP connection to 127.0.0.1:port; -1 when it is refused.
int ConnectTo(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Whether the peer closes `fd` within `limit` (without sending anything).
bool ClosedWithin(int fd, std::chrono::milliseconds limit) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return false;
  char c;
  return ::recv(fd, &c, 1, 0) <= 0;
}

TEST(MetricsTextTest, EverySeriesBelongsToADeclaredFamilyAndCarriesItsValue) {
  MetricsSnapshot s;
  s.connections_open = 3;
  s.connections_accepted = 12;
  s.sessions_admitted = 9;
  s.traffic[static_cast<std::size_t>(MeteredService::kHttp)] = {1000, 400, 9000, 3000};
  s.traffic[static_cast<std::size_t>(MeteredService::kSmtp)] = {50, 60, 0, 0};
  s.charged_bytes = 1536;
  s.logins_refused[static_cast<std::size_t>(LoginRefusal::kTooManyConnections)] = 2;
  s.errors[static_cast<std::size_t>(ServerError::kRefusedOverCapacity)] = 7;
  s.draining = true;
  const std::string text = RenderMetrics(s);

  // Each family: HELP, then TYPE, then its samples; no family twice.
  const std::regex help(R"(# HELP ([a-z_]+) \S.*)");
  const std::regex type(R"(# TYPE ([a-z_]+) (counter|gauge))");
  const std::regex sample(R"(([a-z_]+)(\{[a-z_]+="[a-z0-9_]+"(,[a-z_]+="[a-z0-9_]+")*\})? ([0-9][0-9.e+]*))");
  std::set<std::string> families;
  std::map<std::string, std::string> types;
  std::string helped, current;
  std::istringstream lines(text);
  std::string line;
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_match(line, m, help)) {
      helped = m[1];
      EXPECT_TRUE(families.insert(helped).second) << line;
    } else if (std::regex_match(line, m, type)) {
      EXPECT_EQ(m[1], helped) << line;
      current = m[1];
      types[current] = m[2];
    } else if (std::regex_match(line, m, sample)) {
      EXPECT_EQ(m[1], current) << line;
    } else {
      ADD_FAILURE() << "not a line of the text format: \"" << line << "\"";
    }
  }
  EXPECT_EQ(text.back(), '\n');
  for (const char* name : {"korvan_connections_accepted_total", "korvan_sessions_admitted_total",
                           "korvan_tunnel_bytes_total", "korvan_payload_bytes_total",
                           "korvan_credit_charged_kib_total", "korvan_logins_refused_total", "korvan_errors_total"}) {
    EXPECT_EQ(types[name], "counter") << name;
  }
  for (const char* name : {"korvan_connections_open", "korvan_compression_ratio", "korvan_draining"}) {
    EXPECT_EQ(types[name], "gauge") << name;
  }

  EXPECT_EQ(Sample(text, "korvan_connections_open"), 3);
  EXPECT_EQ(Sample(text, "korvan_connections_accepted_total"), 12);
  EXPECT_EQ(Sample(text, "korvan_sessions_admitted_total"), 9);
  // "sent" is what the client sent: the tunnel's "in".
  EXPECT_EQ(Sample(text, Tunnel("http", "in")), 400);
  EXPECT_EQ(Sample(text, Tunnel("http", "out")), 3000);
  EXPECT_EQ(Sample(text, Payload("http", "in")), 1000);
  EXPECT_EQ(Sample(text, Payload("http", "out")), 9000);
  EXPECT_EQ(Sample(text, Tunnel("smtp", "in")), 60);
  EXPECT_EQ(Sample(text, Tunnel("account_query", "out")), 0);
  EXPECT_EQ(Sample(text, "korvan_compression_ratio{service=\"http\"}"), 3);
  EXPECT_FALSE(Sample(text, "korvan_compression_ratio{service=\"smtp\"}")) << "nothing went out: no ratio";
  EXPECT_EQ(Sample(text, "korvan_credit_charged_kib_total"), 1.5);
  EXPECT_EQ(Sample(text, "korvan_logins_refused_total{reason=\"too_many_connections\"}"), 2);
  EXPECT_EQ(Sample(text, "korvan_logins_refused_total{reason=\"word_list\"}"), 0);
  EXPECT_EQ(Sample(text, "korvan_errors_total{kind=\"refused_over_capacity\"}"), 7);
  EXPECT_EQ(Sample(text, "korvan_errors_total{kind=\"store\"}"), 0);
  EXPECT_EQ(Sample(text, "korvan_draining"), 1);
}

class AdminTest : public ServerTest {
 protected:
  AdminTest() { config_.admin = TargetAddress{"127.0.0.1", 0}; }

  std::string Metrics() { return HttpBody(HttpGet(admin_port(), "/metrics")); }
  // Sessions are counted when they are gone, with their traffic settled.
  bool WaitForNoSessions() {
    for (int i = 0; i < 200; ++i) {
      if (server().metrics().connections_open() == 0) return true;
      std::this_thread::sleep_for(25ms);
    }
    return false;
  }
  std::string Get(const HttpOrigin& origin, const std::string& path) {
    return "GET " + origin.url(path) + " HTTP/1.1\r\nHost: ignored.test\r\n\r\n";
  }
};

size_t CurlWrite(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

TEST_F(AdminTest, HealthzAndMetricsAnswerARealHttpClient) {
  StartServer();
  ASSERT_NE(admin_port(), 0);
  CURL* curl = curl_easy_init();
  ASSERT_NE(curl, nullptr);
  std::string body;
  const std::string base = "http://127.0.0.1:" + std::to_string(admin_port());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CurlWrite);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
  long status = 0;
  char* type = nullptr;

  curl_easy_setopt(curl, CURLOPT_URL, (base + "/healthz").c_str());
  ASSERT_EQ(curl_easy_perform(curl), CURLE_OK);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  EXPECT_EQ(status, 200);
  EXPECT_EQ(body, "ok\n");

  // The same connection, kept alive.
  body.clear();
  curl_easy_setopt(curl, CURLOPT_URL, (base + "/metrics").c_str());
  ASSERT_EQ(curl_easy_perform(curl), CURLE_OK);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type);
  long connects = -1;
  curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connects);
  EXPECT_EQ(status, 200);
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(std::string(type), kMetricsContentType);
  EXPECT_EQ(connects, 0) << "the second request did not reuse the connection";
  EXPECT_EQ(Sample(body, "korvan_draining"), 0);
  EXPECT_EQ(Sample(body, "korvan_connections_open"), 0);
  EXPECT_NE(body.find("# TYPE korvan_tunnel_bytes_total counter\n"), std::string::npos);

  body.clear();
  curl_easy_setopt(curl, CURLOPT_URL, (base + "/healthz").c_str());
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  ASSERT_EQ(curl_easy_perform(curl), CURLE_OK);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  EXPECT_EQ(status, 200);
  EXPECT_EQ(body, "");
  curl_easy_cleanup(curl);

  const std::string head = HttpExchange(admin_port(), "HEAD /healthz HTTP/1.1\r\nConnection: close\r\n\r\n");
  EXPECT_NE(head.find("Content-Length: 3\r\n"), std::string::npos) << head;
  EXPECT_EQ(HttpBody(head), "");
}

TEST_F(AdminTest, WrongPathsMethodsAndHeadsGetTheirErrors) {
  StartServer();
  EXPECT_EQ(HttpStatus(HttpGet(admin_port(), "/")), 404);
  EXPECT_EQ(HttpStatus(HttpGet(admin_port(), "/healthz/x")), 404);
  const std::string post =
      HttpExchange(admin_port(), "POST /healthz HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello");
  EXPECT_EQ(HttpStatus(post), 405) << post;
  EXPECT_NE(post.find("Allow: GET, HEAD\r\n"), std::string::npos) << post;
  EXPECT_EQ(HttpStatus(HttpExchange(admin_port(), "DELETE /metrics HTTP/1.1\r\nConnection: close\r\n\r\n")), 405);
  EXPECT_EQ(HttpStatus(HttpExchange(admin_port(), "nonsense\r\n\r\n")), 400);

  // A head over 8 KiB is refused and the connection closed, without waiting for its end.
  const std::string big = "GET /healthz HTTP/1.1\r\nX-Filler: " + std::string(9000, 'a') + "\r\n";
  const std::string answer = HttpExchange(admin_port(), big);
  EXPECT_EQ(HttpStatus(answer), 431) << answer.substr(0, 100);
  // Just under the limit is fine.
  const std::string fits =
      "GET /healthz HTTP/1.1\r\nConnection: close\r\nX-Filler: " + std::string(7000, 'a') + "\r\n\r\n";
  EXPECT_EQ(HttpStatus(HttpExchange(admin_port(), fits)), 200);
}

TEST_F(AdminTest, AtMostSixteenConnectionsAndIdleOnesAreClosedAfterFiveSeconds) {
  StartServer();
  std::vector<int> idle;
  for (std::size_t i = 0; i < kAdminConnectionLimit; ++i) idle.push_back(ConnectTo(admin_port()));
  for (const int fd : idle) ASSERT_GE(fd, 0);
  std::this_thread::sleep_for(100ms);  // all accepted
  const int extra = ConnectTo(admin_port());
  ASSERT_GE(extra, 0);  // the kernel accepts it; the endpoint closes it
  EXPECT_TRUE(ClosedWithin(extra, 2s));
  ::close(extra);
  // The tunnel side does not care.
  auto client = Connect();
  client->decode_frames = false;
  client->SendRaw(TunnelClient::Opening({}, Protocol::kAccountQuery));
  ASSERT_TRUE(client->WaitForClose());
  EXPECT_EQ(client->raw.size(), 58u);

  // The idle ones run out of time; then there is room again.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(ClosedWithin(idle[0], 8s));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 4s);
  for (const int fd : idle) ::close(fd);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(HttpBody(HttpGet(admin_port(), "/healthz")), "ok\n");
}

TEST_F(AdminTest, MetricsCountWhatTheSessionsCarriedAndRefused) {
  HttpOrigin origin;
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kHttp, Get(origin, "/blob.bin"));
  ASSERT_TRUE(client->ReadUntil([&] { return SplitAnswers(client->data, {false}).size() == 1; }))
      << client->Describe();
  client->CloseSending();
  ASSERT_TRUE(client->WaitForClose());
  ASSERT_TRUE(WaitForNoSessions());
  ASSERT_TRUE(server().FlushCharges(5s));

  std::string text = Metrics();
  const auto account = store_->Find(kDemoId);
  ASSERT_TRUE(account);
  EXPECT_EQ(Sample(text, Tunnel("http", "in")), static_cast<double>(client->sent_bytes));
  EXPECT_EQ(Sample(text, Tunnel("http", "out")), static_cast<double>(client->raw.size()));
  EXPECT_EQ(Sample(text, Payload("http", "in")), static_cast<double>(account->totals.sent_raw));
  EXPECT_EQ(Sample(text, Payload("http", "out")), static_cast<double>(account->totals.received_raw));
  EXPECT_GE(Sample(text, Payload("http", "out")).value_or(0), 300000);
  EXPECT_EQ(Sample(text, Tunnel("tcpip", "out")), 0);
  const double ratio = static_cast<double>(account->totals.received_raw) / static_cast<double>(client->raw.size());
  EXPECT_NEAR(Sample(text, "korvan_compression_ratio{service=\"http\"}").value_or(0), ratio, 1e-9);
  EXPECT_EQ(Sample(text, "korvan_credit_charged_kib_total"),
            static_cast<double>(client->sent_bytes + client->raw.size()) / 1024.0);
  EXPECT_EQ(Sample(text, "korvan_sessions_admitted_total"), 1);
  EXPECT_EQ(Sample(text, "korvan_connections_accepted_total"), 1);

  // Refusals, by reason; each connection still counts as accepted.
  auto wrong = Connect();
  wrong->Open({kDemoId, "not demo"}, Protocol::kHttp);
  ASSERT_TRUE(wrong->WaitForClose());
  auto old_words = Connect();
  old_words->Open({kDemoId, "demo", 1}, Protocol::kSocks4);
  ASSERT_TRUE(old_words->WaitForClose());
  auto query = Connect();
  query->decode_frames = false;
  query->SendRaw(TunnelClient::Opening({}, Protocol::kAccountQuery));
  ASSERT_TRUE(query->WaitForClose());
  const std::size_t old_words_sent = old_words->sent_bytes;
  wrong.reset();  // else each session waits a while for its client to close
  old_words.reset();
  query.reset();
  ASSERT_TRUE(WaitForNoSessions());
  text = Metrics();
  EXPECT_EQ(Sample(text, "korvan_logins_refused_total{reason=\"password\"}"), 1);
  EXPECT_EQ(Sample(text, "korvan_logins_refused_total{reason=\"word_list\"}"), 1);
  EXPECT_EQ(Sample(text, "korvan_logins_refused_total{reason=\"no_credit\"}"), 0);
  EXPECT_EQ(Sample(text, "korvan_sessions_admitted_total"), 1);
  EXPECT_EQ(Sample(text, "korvan_connections_accepted_total"), 4);
  // Unadmitted traffic crossed the tunnel too, but costs no credit.
  EXPECT_EQ(Sample(text, Tunnel("socks4", "in")), static_cast<double>(old_words_sent));
  EXPECT_EQ(Sample(text, Tunnel("account_query", "out")), 58);
  EXPECT_EQ(Sample(text, "korvan_credit_charged_kib_total"),
            static_cast<double>(client->sent_bytes + client->raw.size()) / 1024.0);
}

TEST_F(AdminTest, ConnectionsOverTheLimitCountAsRefusedAtAccept) {
  config_.max_connections = 1;
  StartServer();
  auto first = Connect();
  std::this_thread::sleep_for(100ms);
  auto second = Connect();
  ASSERT_TRUE(second->WaitForClose());
  const std::string text = Metrics();
  EXPECT_EQ(Sample(text, "korvan_errors_total{kind=\"refused_over_capacity\"}"), 1);
  EXPECT_EQ(Sample(text, "korvan_connections_open"), 1);
  EXPECT_EQ(Sample(text, "korvan_connections_accepted_total"), 2);
}

using DrainTest = AdminTest;

TEST_F(DrainTest, ASlowDownloadCompletesWhileNewConnectionsAreRefused) {
  HttpOrigin origin;
  config_.drain_timeout = std::chrono::seconds(60);
  StartServer();
  const std::size_t size = 8u << 20;
  auto client = Connect(true);
  client->Open({}, Protocol::kHttp, Get(origin, "/big/" + std::to_string(size)));
  ASSERT_TRUE(client->WaitForData(256 * 1024)) << client->Describe();

  server().Drain();
  // The listening socket goes at once; the admin endpoint stays.
  bool refused = false;
  for (int i = 0; i < 100 && !refused; ++i) {
    const int fd = ConnectTo(port());
    refused = fd < 0;
    if (fd >= 0) ::close(fd);
    if (!refused) std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(refused) << "a new tunnel connection was still accepted";
  const std::string health = HttpGet(admin_port(), "/healthz");
  EXPECT_EQ(HttpStatus(health), 503);
  EXPECT_EQ(HttpBody(health), "draining\n");
  EXPECT_EQ(Sample(Metrics(), "korvan_draining"), 1);
  EXPECT_LT(client->data.size(), size) << "the download was over before the drain; make it larger";
  EXPECT_FALSE(RunReturned());

  ASSERT_TRUE(client->ReadUntil([&] { return SplitAnswers(client->data, {false}).size() == 1; }, 120s))
      << client->Describe();
  EXPECT_EQ(SplitAnswers(client->data, {false})[0].body, BigBody(size));
  EXPECT_FALSE(client->closed);
  EXPECT_FALSE(RunReturned()) << "the session was still open";

  client.reset();  // the last session ends: Run returns soon after, well before the time-out
  const auto start = std::chrono::steady_clock::now();
  while (!RunReturned() && std::chrono::steady_clock::now() - start < 10s) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(RunReturned());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_LT(ConnectTo(admin_port()), 0) << "the admin endpoint outlived the drain";
  const auto account = store_->Find(kDemoId);
  ASSERT_TRUE(account);
  EXPECT_GT(account->totals.received_raw, static_cast<std::int64_t>(size)) << "traffic not settled";
}

TEST_F(DrainTest, ASessionOutlastingTheTimeOutIsClosedAtTheDeadlineAndSettled) {
  EchoServer echo;
  config_.drain_timeout = std::chrono::seconds(1);
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kTcpIp, "Host: 127.0.0.1:" + std::to_string(echo.port()) + "\r\n\r\nhello");
  ASSERT_TRUE(client->WaitForData(5)) << client->Describe();

  const auto start = std::chrono::steady_clock::now();
  server().Drain();
  server().Drain();  // twice changes nothing
  client->SendData("still here");
  ASSERT_TRUE(client->WaitForData(15));
  EXPECT_EQ(client->data, "hellostill here");
  ASSERT_TRUE(client->WaitForClose());
  const auto closed_after = std::chrono::steady_clock::now() - start;
  EXPECT_GE(closed_after, 900ms);
  EXPECT_LT(closed_after, 4s);
  while (!RunReturned() && std::chrono::steady_clock::now() - start < 10s) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(RunReturned());
  const auto account = store_->Find(kDemoId);
  ASSERT_TRUE(account);
  EXPECT_EQ(account->totals.sent_raw, static_cast<std::int64_t>(std::string("Host: 127.0.0.1:\r\n\r\nhello").size() +
                                                                std::to_string(echo.port()).size() + 10));
  EXPECT_EQ(account->totals.received_raw, 15);
}

std::string FindProgram(const std::string& name) {
  for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/usr/local/sbin/", "/usr/local/bin/"}) {
    const std::string path = dir + name;
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

// A program run for the test, its output in a file; killed at the end.
struct Process {
  pid_t pid = -1;
  Process(const std::vector<std::string>& args, const std::filesystem::path& output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Process() {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
  }
};

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A second server in the test's process, over the same account file.
struct SecondServer {
  SecondServer(const ServerConfig& config, std::shared_ptr<AccountStore> store)
      : server(config, TestWords(), std::move(store)) {
    server.Start();
    thread = std::thread([this] { server.Run(); });
  }
  ~SecondServer() {
    server.Stop();
    thread.join();
  }
  Server server;
  std::thread thread;
};

TEST_F(DrainTest, HaproxySendsNewConnectionsToTheOtherServerWhileOneDrains) {
  const std::string haproxy = FindProgram("haproxy");
  if (haproxy.empty()) GTEST_SKIP() << "haproxy is not installed (scripts/install-deps.sh installs it)";
  EchoServer echo;
  config_.drain_timeout = std::chrono::seconds(30);
  StartServer();
  SecondServer b(config_, store_);
  const std::uint16_t b_port = b.server.endpoint().port();
  const std::uint16_t b_admin = b.server.admin_endpoint()->port();

  const std::uint16_t front = ClosedPort();
  // A refused connection is tried again on the other server at once; the
  // health check takes the drained one out soon after.
  std::ofstream(dir_ / "haproxy.cfg")
      << "global\n  maxconn 256\n  log stderr format raw local0\n"
      << "defaults\n  mode tcp\n  log global\n  option tcplog\n"
      << "  timeout connect 1s\n  timeout client 30s\n  timeout server 30s\n  retries 2\n  option redispatch 1\n"
      << "frontend tunnel\n  bind 127.0.0.1:" << front << "\n  default_backend korvan\n"
      << "backend korvan\n  balance roundrobin\n  option httpchk GET /healthz\n"
      << "  server a 127.0.0.1:" << port() << " check port " << admin_port() << " inter 100ms fall 1 rise 1\n"
      << "  server b 127.0.0.1:" << b_port << " check port " << b_admin << " inter 100ms fall 1 rise 1\n";
  Process balancer({haproxy, "-db", "-f", (dir_ / "haproxy.cfg").string()}, dir_ / "haproxy.log");
  ASSERT_GT(balancer.pid, 0);
  int probe = -1;
  for (int i = 0; i < 200 && probe < 0; ++i) {
    probe = ConnectTo(front);
    if (probe < 0) std::this_thread::sleep_for(25ms);
  }
  ASSERT_GE(probe, 0) << ReadFile(dir_ / "haproxy.log");
  ::close(probe);
  std::this_thread::sleep_for(300ms);  // the first health checks

  // One open session on each server.
  const std::string host = "Host: 127.0.0.1:" + std::to_string(echo.port()) + "\r\n\r\n";
  std::vector<std::unique_ptr<TunnelClient>> sessions;
  for (int i = 0; i < 2; ++i) {
    sessions.push_back(std::make_unique<TunnelClient>(front));
    sessions.back()->Open({}, Protocol::kTcpIp, host + "x");
    ASSERT_TRUE(sessions.back()->WaitForData(1)) << sessions.back()->Describe();
  }
  ASSERT_EQ(server().metrics().connections_open(), 1);
  ASSERT_EQ(b.server.metrics().connections_open(), 1);

  server().Drain();
  const auto a_accepted = server().metrics().Snapshot().connections_accepted;
  const auto b_accepted = b.server.metrics().Snapshot().connections_accepted;
  for (int i = 0; i < 10; ++i) {
    TunnelClient query(front);
    query.decode_frames = false;
    query.SendRaw(TunnelClient::Opening({}, Protocol::kAccountQuery));
    ASSERT_TRUE(query.WaitForClose()) << "query " << i << ": " << query.raw.size() << " bytes\n"
                                      << ReadFile(dir_ / "haproxy.log");
    EXPECT_EQ(query.raw.size(), 58u) << "query " << i << " was not served";
  }
  EXPECT_EQ(server().metrics().Snapshot().connections_accepted, a_accepted);
  EXPECT_EQ(b.server.metrics().Snapshot().connections_accepted, b_accepted + 10);

  // Both open sessions still work through the balancer.
  for (auto& session : sessions) {
    session->SendData("y");
    EXPECT_TRUE(session->WaitForData(2)) << session->Describe();
    EXPECT_EQ(session->data, "xy");
  }
  EXPECT_FALSE(RunReturned());
  sessions.clear();
  const auto start = std::chrono::steady_clock::now();
  while (!RunReturned() && std::chrono::steady_clock::now() - start < 10s) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(RunReturned()) << "the drained server did not end after its last session";
  EXPECT_EQ(HttpBody(HttpGet(b_admin, "/healthz")), "ok\n");
  if (HasFailure()) ADD_FAILURE() << "haproxy's log:\n" << ReadFile(dir_ / "haproxy.log");
}

}  // namespace
}  // namespace korvan::server::test
