// The connection worker over real loopback sockets against the fake
// compression server.
#include <gtest/gtest.h>

#include <poll.h>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "tests/tunnel/worker_harness.h"
#include "wire/frame_writer.h"

namespace korvan {
namespace {

using test::Bytes;
using namespace std::chrono_literals;

Bytes ToBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

// Everything one run needs: a local "listening port", the client program's
// socket, the worker on its own thread, the fake server.
class WorkerRun {
 public:
  explicit WorkerRun(Protocol protocol, Clock* clock = nullptr, Network* network = nullptr)
      : words_(std::make_shared<const WordList>(
            1, std::vector<std::string>{"Content-Type: text/html\r\n", "<html>", "Host: "})),
        server_(words_),
        clock_(clock != nullptr ? clock : &real_clock_),
        network_(network != nullptr ? network : &real_network_) {
    host_.inputs.protocol = protocol;
    host_.inputs.server_address = "127.0.0.1";
    host_.inputs.server_port = server_.port();
    host_.inputs.login = MakeLoginBlock(100000001, "demo", words_->version(), 0);
    host_.inputs.picture_compression = 0xF7;
  }

  ~WorkerRun() {
    if (client_) client_->Close();
    Join();
  }

  void Start() {
    client_ = test::ConnectLoopback(listener_.port());
    auto accepted = listener_.Accept();
    ASSERT_NE(accepted, nullptr);
    worker_ = std::make_unique<TProxyThread>(
        WorkerEnvironment{main_thread_, *clock_, *network_, host_, *words_}, std::move(accepted), 0);
    thread_ = std::thread([this] { worker_->ClientExecute(); });
  }

  void Join() {
    if (thread_.joinable()) thread_.join();
  }

  // Starts the worker and sends a request through it. The server's side of
  // the tunnel once the request has arrived there; null when it never did.
  std::shared_ptr<test::FakeTunnelConnection> StartWithRequest() {
    Start();
    auto conn = server_.NextConnection();
    if (!conn || !client_->Write(ToBytes("GET / HTTP/1.0\r\n\r\n")) || !conn->WaitForFrames(1)) return nullptr;
    return conn;
  }

  // Reads from the client program's side until `count` bytes or the end.
  Bytes ClientRead(std::size_t count, bool* closed = nullptr) {
    Bytes got;
    std::uint8_t buf[65536];
    while (got.size() < count) {
      const long n = client_->Read(buf, sizeof buf);
      if (n <= 0) {
        if (closed != nullptr) *closed = n == 0;
        break;
      }
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

  bool ClientSeesEnd() {
    std::uint8_t b;
    return client_->Read(&b, 1) == 0;
  }

  WordListPtr words_;
  test::FakeCompressionServer server_;
  test::RecordingHost host_;
  test::SerialMainThread main_thread_;
  test::RealClock real_clock_;
  test::PosixNetwork real_network_;
  Clock* clock_;
  Network* network_;
  test::LoopbackListener listener_;
  std::unique_ptr<test::PosixStreamSocket> client_;
  std::unique_ptr<TProxyThread> worker_;
  std::thread thread_;
};

TEST(ProxyThread, HttpOpeningWaitsForTheRequestAndLeavesWithIt) {
  WorkerRun run(Protocol::kHttp);
  run.host_.inputs.account_info_wanted = true;
  run.Start();
  auto conn = run.server_.NextConnection();
  ASSERT_NE(conn, nullptr);
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(conn->Received().empty()) << "the opening must wait for the client's request";

  const std::string request = "GET http://example.test/ HTTP/1.0\r\nHost: example.test\r\n\r\n";
  ASSERT_TRUE(run.client_->Write(ToBytes(request)));
  ASSERT_TRUE(conn->WaitForFrames(1));
  const Bytes received = conn->Received();
  EXPECT_EQ(conn->ReadSizes().front(), received.size()) << "opening and frame in one write";
  EXPECT_TRUE(conn->AccountInfoRequested());
  EXPECT_EQ(conn->Opening()->protocol(), 0);
  EXPECT_EQ(conn->Opening()->picture_compression, 0xF7);
  EXPECT_EQ(conn->ReceivedData(), ToBytes(request));

  // The answer arrives in awkward pieces and reaches the client whole.
  const std::string page = "<html>" + std::string(70000, 'x') + "</html>";
  Bytes frames;
  for (std::size_t pos = 0; pos < page.size(); pos += kMaxRawBlock) {
    const std::string part = page.substr(pos, kMaxRawBlock);
    const Bytes f = PackFrame(*run.words_, ToBytes(part));
    frames.insert(frames.end(), f.begin(), f.end());
  }
  conn->Send(frames, {1, 2, 1, 100, 3}, 2ms);
  EXPECT_EQ(run.ClientRead(page.size()), ToBytes(page));

  conn->Close();
  EXPECT_TRUE(run.ClientSeesEnd());
  run.Join();
  EXPECT_EQ(run.host_.conn_deltas, (std::vector<int>{1, -1}));
  EXPECT_EQ(run.host_.open_connections, 0);
  EXPECT_EQ(run.host_.delivered, static_cast<std::int64_t>(page.size()));
  EXPECT_EQ(run.host_.raw_out, static_cast<std::int64_t>(request.size() + 18));
  EXPECT_EQ(run.host_.wire_out, static_cast<std::int64_t>(received.size() - 18));
  EXPECT_EQ(run.host_.wire_in, static_cast<std::int64_t>(frames.size()));
  ASSERT_EQ(run.host_.outbound.size(), 1U);
  EXPECT_EQ(run.host_.outbound[0].raw_out, static_cast<std::int64_t>(request.size()));
  EXPECT_EQ(run.host_.inbound.size(), 2U) << "one sample per frame received";
  EXPECT_EQ(run.host_.control_frames, 0) << "data frames never cross to the main thread";
}

TEST(ProxyThread, ServerSpeaksFirstOnSocksAndSmtpPorts) {
  for (Protocol protocol : {Protocol::kSocks4, Protocol::kSmtp}) {
    WorkerRun run(protocol);
    run.host_.inputs.timeout = 9;
    run.Start();
    auto conn = run.server_.NextConnection();
    ASSERT_NE(conn, nullptr);
    ASSERT_TRUE(conn->WaitForReceived(kOpeningSize));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(conn->Received().size(), kOpeningSize) << "the opening goes alone";
    EXPECT_EQ(conn->Opening()->protocol(), static_cast<int>(protocol));
    EXPECT_EQ(conn->Opening()->timeout(), 9);
    conn->SendData(ToBytes("220 mail.example.test ESMTP\r\n"));
    EXPECT_EQ(run.ClientRead(29), ToBytes("220 mail.example.test ESMTP\r\n"));
    ASSERT_TRUE(run.client_->Write(ToBytes("QUIT\r\n")));
    ASSERT_TRUE(conn->WaitForFrames(1));
    EXPECT_EQ(conn->ReceivedData(), ToBytes("QUIT\r\n"));
    run.client_->Close();
    EXPECT_TRUE(conn->WaitForPeerClose()) << "a closed client closes the tunnel";
  }
}

TEST(ProxyThread, TcpMappingSendsTheHostFrameWithTheOpening) {
  WorkerRun run(Protocol::kTcpIp);
  run.host_.inputs.target_host = "pop.example.test";
  run.host_.inputs.target_port = 110;
  run.Start();
  auto conn = run.server_.NextConnection();
  ASSERT_NE(conn, nullptr);
  ASSERT_TRUE(conn->WaitForFrames(1));
  EXPECT_EQ(conn->ReadSizes().front(), conn->Received().size());
  EXPECT_EQ(conn->ReceivedData(), ToBytes("Host: pop.example.test:110\r\n\r\n"));
}

TEST(ProxyThread, LargeUploadTravelsInBlocksOfAtMost64511Bytes) {
  WorkerRun run(Protocol::kHttp);
  run.Start();
  auto conn = run.server_.NextConnection();
  ASSERT_NE(conn, nullptr);
  Bytes upload(100000);
  for (std::size_t i = 0; i < upload.size(); ++i) upload[i] = static_cast<std::uint8_t>(i * 7 % 251);
  ASSERT_TRUE(run.client_->Write(upload));
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (conn->ReceivedData().size() < upload.size() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(conn->ReceivedData(), upload);
  const auto frames = conn->Frames();
  EXPECT_GE(frames.size(), 2U);
  for (const auto& f : frames) EXPECT_LE(f.unpacked.size(), kMaxRawBlock);
}

TEST(ProxyThread, StatusTextsAndRejectedFrames) {
  WorkerRun run(Protocol::kHttp);
  auto conn = run.StartWithRequest();
  ASSERT_NE(conn, nullptr);
  conn->SendControl(ckStatusText, ToBytes("server says hello"), false);
  conn->SendControl(30);  // no such kind: the connection closes
  EXPECT_TRUE(run.ClientSeesEnd());
  EXPECT_TRUE(conn->WaitForPeerClose());
  run.Join();
  EXPECT_EQ(run.host_.log, (std::vector<std::string>{"server says hello"}));
  EXPECT_EQ(run.host_.open_connections, 0);
}

TEST(ProxyThread, PixelWorkRunsOnTheWorkerAndCountsAsTheObjectItReplaces) {
  WorkerRun run(Protocol::kHttp);
  auto conn = run.StartWithRequest();
  ASSERT_NE(conn, nullptr);
  conn->SendControl(test::RecordingHost::kRenderedKind, ToBytes("\x88\x13"), false);
  const std::string drawn = run.host_.rendered;
  EXPECT_EQ(run.ClientRead(drawn.size()), ToBytes(drawn));
  conn->Close();
  EXPECT_TRUE(run.ClientSeesEnd());
  run.Join();
  EXPECT_FALSE(run.host_.rendered_in_hand_off) << "the main thread must not wait for pixel work";
  EXPECT_EQ(run.host_.delivered, 5000) << "counted as the object it stands for, not as the bytes drawn";
  ASSERT_EQ(run.host_.inbound.size(), 1U);
  EXPECT_EQ(run.host_.inbound[0].raw_in, 5000);
}

TEST(ProxyThread, FramesArrivingTogetherKeepTheirOrderUpToABadOne) {
  WorkerRun run(Protocol::kHttp);
  auto conn = run.StartWithRequest();
  ASSERT_NE(conn, nullptr);
  // Ten full blocks in one write: more than one hand-off's worth of output.
  Bytes burst, expected;
  for (int i = 0; i < 10; ++i) {
    Bytes block(kMaxRawBlock);
    for (std::size_t j = 0; j < block.size(); ++j) block[j] = static_cast<std::uint8_t>((j * 31 + i * 7) % 253);
    const Bytes frame = PackFrame(*run.words_, block);
    burst.insert(burst.end(), frame.begin(), frame.end());
    expected.insert(expected.end(), block.begin(), block.end());
  }
  const Bytes damaged = MakeFrame(tfControl, Bytes{30});  // no such kind
  const Bytes after = PackFrame(*run.words_, ToBytes("never delivered"));
  burst.insert(burst.end(), damaged.begin(), damaged.end());
  burst.insert(burst.end(), after.begin(), after.end());
  conn->Send(burst);
  bool closed = false;
  const Bytes got = run.ClientRead(expected.size() + 1, &closed);
  EXPECT_TRUE(closed) << "the bad frame closes the connection";
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected) << "every frame before the bad one arrives, in order";
  run.Join();
  EXPECT_EQ(run.host_.delivered, static_cast<std::int64_t>(expected.size()));
  EXPECT_EQ(run.host_.control_frames, 1) << "only the control frame crossed to the main thread";
  EXPECT_EQ(run.host_.inbound.size(), 10U);
}

TEST(ProxyThread, CountersOfAnOpenConnectionReachTheMainThreadWithoutMoreTraffic) {
  WorkerRun run(Protocol::kHttp);
  auto conn = run.StartWithRequest();
  ASSERT_NE(conn, nullptr);
  const Bytes page = ToBytes("HTTP/1.0 200 OK\r\n\r\n<html>counted</html>");
  conn->SendData(page);
  EXPECT_EQ(run.ClientRead(page.size()), page);
  // Both ends stay open and quiet: the delivered bytes must still be reported.
  std::int64_t delivered = 0;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    run.main_thread_.Invoke([&] { delivered = run.host_.delivered; });
    if (delivered == static_cast<std::int64_t>(page.size())) break;
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(delivered, static_cast<std::int64_t>(page.size()));
  int open = 0;
  run.main_thread_.Invoke([&] { open = run.host_.open_connections; });
  EXPECT_EQ(open, 1) << "the connection counts as open while it is";
}

TEST(ProxyThread, RefusedClientGetsTheTextAndNoTunnel) {
  WorkerRun run(Protocol::kHttp);
  run.host_.refusal = "go away\r\n";
  run.Start();
  bool closed = false;
  EXPECT_EQ(run.ClientRead(100, &closed), ToBytes("go away\r\n"));
  EXPECT_TRUE(closed);
  run.Join();
  EXPECT_EQ(run.server_.AcceptedCount(), 0U);
  EXPECT_TRUE(run.host_.conn_deltas.empty()) << "a refused worker never touches the counters";
}

TEST(ProxyThread, TerminatedDuringPreparationOpensNoTunnel) {
  WorkerRun run(Protocol::kSocks4);
  run.host_.terminate = true;
  run.Start();
  EXPECT_TRUE(run.ClientSeesEnd());
  run.Join();
  EXPECT_EQ(run.server_.AcceptedCount(), 0U);
}

TEST(ProxyThread, UnreachableServerIsLoggedAfterOneRetry) {
  test::FakeClock clock(1000);
  test::PosixNetwork network;
  WorkerRun run(Protocol::kHttp, &clock, &network);
  {
    test::LoopbackListener closed_port;  // a port that is free again after this scope
    run.host_.inputs.server_port = closed_port.port();
  }
  run.Start();
  EXPECT_TRUE(run.ClientSeesEnd());
  run.Join();
  EXPECT_EQ(run.host_.log, (std::vector<std::string>{"server failed"}));
  EXPECT_EQ(clock.TickCount(), 1000U + kConnectRetryDelayMs);
  // +1 and -1 meet in the one hand-off at the end.
  EXPECT_EQ(run.host_.reports, 1);
  EXPECT_EQ(run.host_.open_connections, 0);
}

TEST(ProxyThread, IdleConnectionEndsAfterTenMinutesOfSilenceBothWays) {
  test::FakeClock clock(0xFFFF0000U);  // the tick wraps on the way
  test::FakeTimeNetwork network(clock);
  WorkerRun run(Protocol::kSocks4, &clock, &network);
  run.Start();
  auto conn = run.server_.NextConnection();
  ASSERT_NE(conn, nullptr);
  EXPECT_TRUE(run.ClientSeesEnd());
  run.Join();
  const std::uint32_t elapsed = clock.TickCount() - 0xFFFF0000U;
  EXPECT_GT(elapsed, kIdleLimitMs);
  EXPECT_LE(elapsed, kIdleLimitMs + 2 * kHandOffIntervalMs);
  EXPECT_EQ(run.host_.conn_deltas, (std::vector<int>{1, -1}));
  EXPECT_TRUE(conn->WaitForPeerClose());
}

// A parent proxy on loopback that answers the CONNECT with `answer` and then
// keeps the connection as the tunnel.
class FakeParentProxy {
 public:
  explicit FakeParentProxy(std::string answer) : answer_(std::move(answer)) {
    thread_ = std::thread([this] {
      auto conn = listener_.Accept();
      if (!conn) return;
      std::string request;
      std::uint8_t buf[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const long n = conn->Read(buf, sizeof buf);
        if (n <= 0) return;
        request.append(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n));
      }
      {
        MutexLock lock(mutex_);
        request_ = request.substr(0, request.find("\r\n\r\n") + 4);
      }
      conn->Write(ToBytes(answer_));
      for (;;) {
        const long n = conn->Read(buf, sizeof buf);
        if (n <= 0) break;
        MutexLock lock(mutex_);
        after_.insert(after_.end(), buf, buf + n);
      }
    });
  }
  ~FakeParentProxy() { thread_.join(); }
  std::uint16_t port() const { return listener_.port(); }
  std::string request() KORVAN_EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return request_;
  }
  Bytes after() KORVAN_EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return after_;
  }

 private:
  std::string answer_;
  test::LoopbackListener listener_;
  Mutex mutex_;  // the proxy's thread records, the test reads
  std::string request_ KORVAN_GUARDED_BY(mutex_);
  Bytes after_ KORVAN_GUARDED_BY(mutex_);
  std::thread thread_;
};

TEST(ProxyThread, ParentProxyConnectWithBasicAuthorization) {
  FakeParentProxy parent("HTTP/1.1 200 Connection established\r\n\r\n");
  {
    WorkerRun run(Protocol::kSmtp);
    run.host_.inputs.server_address = "tunnel.example.test";
    run.host_.inputs.server_port = 3893;
    run.host_.inputs.use_parent_proxy = true;
    run.host_.inputs.parent_host = "  127.0.0.1 ";
    run.host_.inputs.parent_port = parent.port();
    run.host_.inputs.parent_user = "alice";
    run.host_.inputs.parent_password = "s3cret";
    run.Start();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (parent.after().size() < kOpeningSize && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
  }
  EXPECT_EQ(parent.request(),
            "CONNECT tunnel.example.test:3893 HTTP/1.0\r\nProxy-Authorization: Basic YWxpY2U6czNjcmV0\r\n\r\n");
  EXPECT_EQ(parent.after().size(), kOpeningSize);
}

TEST(ProxyThread, RefusedConnectIsReportedAsTheServersFailure) {
  FakeParentProxy parent("HTTP/1.0 407 Proxy Authentication Required\r\n\r\n");
  WorkerRun run(Protocol::kHttp);
  run.host_.inputs.use_parent_proxy = true;
  run.host_.inputs.parent_host = "127.0.0.1";
  run.host_.inputs.parent_port = parent.port();
  run.host_.inputs.parent_user = "   ";
  run.Start();
  EXPECT_TRUE(run.ClientSeesEnd());
  run.Join();
  EXPECT_EQ(run.host_.log, (std::vector<std::string>{"server failed"}));
  run.client_->Close();
}

TEST(SessionOpening, ConnectRequestsAndAnswers) {
  EXPECT_EQ(BuildConnectRequest("h", 3893, ""), "CONNECT h:3893 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(ProxyAuthorizationLine(" u ", ""), "Proxy-Authorization: Basic IHUgOg==\r\n");
  EXPECT_TRUE(ConnectAnswerOpensTunnel("HTTP/1.0 200 Connection established\r\n\r\n"));
  EXPECT_TRUE(ConnectAnswerOpensTunnel("HTTP/1.1 200 OK\r\n\r\n"));
  EXPECT_FALSE(ConnectAnswerOpensTunnel("HTTP/1.0 407 Denied\r\n\r\n"));
  EXPECT_FALSE(ConnectAnswerOpensTunnel("HTTP/1.0 2000 \r\n"));
  EXPECT_FALSE(ConnectAnswerOpensTunnel("HTTP/1.0 200"));
  EXPECT_FALSE(ConnectAnswerOpensTunnel(""));

  OpeningInputs in;
  in.protocol = Protocol::kTcpIp;
  in.target_host = "h";
  in.target_port = 7;
  in.timeout = 15;
  in.account_info_wanted = true;
  const OpeningPlan plan = PrepareOpeningPlan(in);
  ASSERT_EQ(plan.opening.size(), 18U);
  EXPECT_EQ(plan.opening[14], 0xF1);
  EXPECT_EQ(plan.initial_data, ToBytes("Host: h:7\r\n\r\n"));
  EXPECT_TRUE(plan.parent_host.empty());
}

}  // namespace
}  // namespace korvan
