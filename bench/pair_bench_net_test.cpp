// The service benchmark's own plumbing: its figures are only as good as the
// HTTP reader that frames the answers, the relay that counts the bytes and
// the origin that serves the corpus.
#include "bench/pair_bench_net.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "bench/pair_bench_parts.h"

namespace korvan::bench {
namespace {

// Writes `pieces` one by one into a socket pair and reads answers from the
// other end, so that every split point of the stream is exercised.
class Wire {
 public:
  explicit Wire(std::vector<std::string> pieces, bool close_after = true) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_) != 0) throw std::runtime_error("socketpair");
    writer_ = std::thread([this, pieces = std::move(pieces), close_after] {
      for (const std::string& p : pieces) SendAll(fds_[1], p);
      if (close_after) ::shutdown(fds_[1], SHUT_WR);
    });
  }
  ~Wire() {
    ::shutdown(fds_[0], SHUT_RDWR);  // a writer still sending gives up
    writer_.join();
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  bool Read(HttpAnswer& answer, std::string& error, bool head = false) {
    return ReadHttpAnswer(fds_[0], buffered_, head, true, answer, error);
  }

 private:
  int fds_[2] = {-1, -1};
  std::string buffered_;
  std::thread writer_;
};

std::vector<std::string> Bytewise(const std::string& text) {
  std::vector<std::string> out;
  for (const char c : text) out.emplace_back(1, c);
  return out;
}

TEST(PairBenchHttpReader, FramesAnswersByLengthChunksAndClose) {
  const std::string stream =
      "HTTP/1.1 100 Continue\r\n\r\n"
      "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-A: 1\r\n\r\nhello"
      "HTTP/1.1 200 OK\r\ntransfer-encoding: Chunked\r\n\r\n3;ext=1\r\nabc\r\nA\r\n0123456789\r\n0\r\nT: x\r\n\r\n"
      "HTTP/1.1 304 Not Modified\r\nContent-Length: 99\r\n\r\n"
      "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nuntil the end";
  for (const auto& pieces : {std::vector<std::string>{stream}, Bytewise(stream)}) {
    Wire wire(pieces);
    HttpAnswer a;
    std::string error;
    ASSERT_TRUE(wire.Read(a, error)) << error;
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, "hello");
    EXPECT_EQ(a.Field("x-a"), "1");
    EXPECT_FALSE(a.closes);
    ASSERT_TRUE(wire.Read(a, error)) << error;
    EXPECT_EQ(a.body, "abc0123456789");
    EXPECT_EQ(a.body_bytes, 13u);
    ASSERT_TRUE(wire.Read(a, error)) << error;
    EXPECT_EQ(a.status, 304);
    EXPECT_TRUE(a.body.empty());
    ASSERT_TRUE(wire.Read(a, error)) << error;
    EXPECT_EQ(a.body, "until the end");
    EXPECT_TRUE(a.closes);
  }
  // HEAD: the length describes a body that does not follow.
  Wire head({"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n"});
  HttpAnswer a;
  std::string error;
  ASSERT_TRUE(head.Read(a, error, true));
  EXPECT_TRUE(a.body.empty());
  ASSERT_TRUE(head.Read(a, error));
  EXPECT_EQ(a.status, 204);
}

TEST(PairBenchHttpReader, RejectsMalformedAndShortAnswers) {
  const std::vector<std::string> bad = {
      "",
      "SMTP 220 hello\r\n\r\n",
      "HTTP/1.1 2x0 OK\r\n\r\n",
      "HTTP/1.1 200 OK\r\nno colon here\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabcdeXX0\r\n\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab",
      "HTTP/1.1 200 OK\r\nX: " + std::string(100000, 'a'),
  };
  for (const std::string& text : bad) {
    Wire wire({text});
    HttpAnswer a;
    std::string error;
    EXPECT_FALSE(wire.Read(a, error)) << text.substr(0, 60);
    EXPECT_FALSE(error.empty());
  }
}

TEST(PairBenchRelay, CountsBothDirectionsAndPassesHalfClose) {
  // An echo that answers after the client has finished sending.
  Listener echo([](int fd) {
    std::string all;
    char chunk[4096];
    for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) all.append(chunk, static_cast<std::size_t>(n));
    SendAll(fd, all + all);
    ::shutdown(fd, SHUT_RDWR);
  });
  CountingRelay relay(echo.port());
  const std::string sent(300000, 'q');
  const int fd = ConnectLoopback(relay.port());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendAll(fd, sent));
  ::shutdown(fd, SHUT_WR);
  std::string got;
  char chunk[65536];
  for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) got.append(chunk, static_cast<std::size_t>(n));
  ::close(fd);
  EXPECT_EQ(got, sent + sent);
  EXPECT_EQ(relay.up(), sent.size());
  EXPECT_EQ(relay.down(), 2 * sent.size());
  EXPECT_EQ(relay.connections(), 1);
}

TEST(PairBenchRelay, CountsConcurrentConnectionsExactly) {
  Listener sink([](int fd) {
    char chunk[4096];
    std::size_t total = 0;
    for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) total += static_cast<std::size_t>(n);
    SendAll(fd, std::to_string(total));
    ::shutdown(fd, SHUT_RDWR);
  });
  CountingRelay relay(sink.port());
  std::vector<std::thread> clients;
  std::atomic<std::size_t> answered{0};
  for (int i = 1; i <= 20; ++i) {
    clients.emplace_back([&, i] {
      const int fd = ConnectLoopback(relay.port());
      if (fd < 0) return;
      SendAll(fd, std::string(static_cast<std::size_t>(i) * 10000, 'x'));
      ::shutdown(fd, SHUT_WR);
      char chunk[64];
      std::string got;
      for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) got.append(chunk, static_cast<std::size_t>(n));
      if (got == std::to_string(i * 10000)) answered += got.size();
      ::close(fd);
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(relay.up(), 10000u * 210);  // 1 + 2 + ... + 20 = 210
  EXPECT_EQ(relay.down(), answered.load());
  EXPECT_EQ(relay.connections(), 20);
}

TEST(PairBenchHttpClient, RetriesOnceWhenAKeptConnectionWasClosed) {
  // Answers one request per connection, then closes without saying so.
  std::atomic<int> accepted{0};
  Listener once([&](int fd) {
    ++accepted;
    char chunk[4096];
    if (::recv(fd, chunk, sizeof chunk, 0) > 0) SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    ::shutdown(fd, SHUT_RDWR);
  });
  HttpClient client(once.port());
  HttpAnswer a;
  std::string error;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(client.Exchange("GET / HTTP/1.1\r\nHost: x\r\n\r\n", false, a, error)) << error;
    EXPECT_TRUE(a.body.empty());
    EXPECT_EQ(a.body_bytes, 2u) << "counted, not kept";
  }
  EXPECT_EQ(client.connects(), 3);
  // A fresh connection that fails is not tried again.
  Listener mute([](int fd) { ::shutdown(fd, SHUT_RDWR); });
  HttpClient silent(mute.port());
  EXPECT_FALSE(silent.Exchange("GET / HTTP/1.1\r\nHost: x\r\n\r\n", true, a, error));
  EXPECT_EQ(silent.connects(), 1);
}

TEST(PairBenchClientIni, CarriesLevelsAndTheFilterWordAsCheckBoxes) {
  const std::string ini = ClientIni({3, 12, 0xC001}, 4000, 5000);
  for (const char* line : {"ServerPort=4000\r\n", "JPEGCompress=3\r\n", "GIFCompress=12\r\n", "_HTMLOptimization=1\r\n",
                           "IGNAppFlash=1\r\n", "IGN468x60=1\r\n", "IGN234x60=0\r\n", "IGN240x400=0\r\n",
                           "LPort=5000\r\nProtocol=0\r\n"}) {
    EXPECT_NE(ini.find(line), std::string::npos) << line;
  }
  // Sixteen boxes, three of them checked.
  std::size_t checked = 0, boxes = 0;
  std::istringstream lines(ini);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("IGN") && !line.starts_with("_HTMLOptimization=")) continue;
    ++boxes;
    if (line.ends_with("=1\r")) ++checked;
  }
  EXPECT_EQ(boxes, 16u);
  EXPECT_EQ(checked, 3u);
}

TEST(PairBenchGzip, RoundTripsAndRefusesOtherBytes) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "<li>item " + std::to_string(i) + "</li>\n";
  const std::string packed = Gzip(text);
  EXPECT_LT(packed.size(), text.size() / 4);
  EXPECT_EQ(static_cast<unsigned char>(packed[0]), 0x1f);  // a gzip member, not a zlib stream
  std::string out;
  ASSERT_TRUE(Gunzip(packed, out));
  EXPECT_EQ(out, text);
  EXPECT_FALSE(Gunzip(packed.substr(0, packed.size() / 2), out));
  EXPECT_FALSE(Gunzip("plain text, not packed", out));
  ASSERT_TRUE(Gunzip(Gzip(""), out));
  EXPECT_TRUE(out.empty());
}

TEST(PairBenchOrigin, GzipOnlyWhenAskedAndForTextHoldUntilTheGate) {
  const std::string page = "<html>" + std::string(5000, 'x') + "</html>";
  Origin origin({{"html", "a.html", "text/html", page, Gzip(page)}, {"gif", "b.gif", "image/gif", "GIF89a..", ""}},
                "0123456789");
  HttpClient client(origin.port());
  HttpAnswer a;
  std::string error;
  const auto get = [&](const std::string& path, const std::string& extra) {
    return client.Exchange("GET " + path + " HTTP/1.1\r\nHost: x\r\n" + extra + "\r\n", true, a, error);
  };
  ASSERT_TRUE(get("/r/0", "Accept-Encoding: gzip, deflate\r\n")) << error;
  EXPECT_EQ(a.Field("content-encoding"), "gzip");
  EXPECT_EQ(a.body, Gzip(page));
  ASSERT_TRUE(get("http://127.0.0.1/r/0", ""));
  EXPECT_EQ(a.body, page);
  ASSERT_TRUE(get("/r/1", "Accept-Encoding: gzip\r\n"));
  EXPECT_EQ(a.Field("content-type"), "image/gif");
  EXPECT_EQ(a.body, "GIF89a..");
  ASSERT_TRUE(get("/r/2", ""));
  EXPECT_EQ(a.status, 404);
  ASSERT_TRUE(get("/big/25", ""));
  EXPECT_EQ(a.body, "0123456789012345678901234");
  EXPECT_EQ(client.connects(), 1) << "one kept connection for all";
  // The server closing a kept connection costs a new one, not a failure.
  ASSERT_TRUE(get("/small", "Connection: close\r\n"));
  EXPECT_EQ(a.body.size(), 1024u);
  ASSERT_TRUE(get("/small", ""));
  EXPECT_EQ(client.connects(), 2);

  std::thread held([&] {
    HttpClient other(origin.port());
    HttpAnswer b;
    std::string e;
    EXPECT_TRUE(other.Exchange("GET /hold/200000 HTTP/1.1\r\nHost: x\r\n\r\n", false, b, e)) << e;
    EXPECT_EQ(b.body_bytes, 200000u);
  });
  while (origin.held() == 0) std::this_thread::yield();
  origin.OpenGate();
  held.join();
}

}  // namespace
}  // namespace korvan::bench
