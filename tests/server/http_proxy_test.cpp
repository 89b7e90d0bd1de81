// Service 0, the HTTP proxy, against a real origin on loopback.
#include <gtest/gtest.h>

#include <boost/beast/http.hpp>

#include <limits>
#include <thread>

#include "tests/server/http_answers.h"
#include "tests/server/origins.h"
#include "tests/server/server_fixture.h"
#include "wire/frame_format.h"

namespace korvan::server::test {
namespace {

namespace http = boost::beast::http;

class HttpProxyTest : public ServerTest {
 protected:
  std::string Get(const std::string& path, const std::string& extra = "") {
    return "GET " + origin_.url(path) + " HTTP/1.1\r\nHost: ignored.test\r\n" + extra + "\r\n";
  }
  HttpOrigin origin_;
};

TEST_F(HttpProxyTest, GetsHtmlAndBinaryOverOneKeptConnection) {
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kHttp, Get("/page.html"));
  ASSERT_TRUE(client->WaitForData(SampleHtml().size())) << client->Describe();
  client->SendData(Get("/blob.bin"));
  ASSERT_TRUE(client->ReadUntil([&] { return SplitAnswers(client->data, {false, false}).size() == 2; }));
  const auto responses = SplitAnswers(client->data, {false, false});
  EXPECT_EQ(responses[0].status, 200u);
  EXPECT_EQ(responses[0].body, SampleHtml());
  EXPECT_EQ(responses[1].body, RandomBytes(300000, 1));
  EXPECT_EQ(origin_.connections(), 1u);
  EXPECT_FALSE(client->closed);
}

TEST_F(HttpProxyTest, HeadGetsNoBodyAndTheConnectionGoesOn) {
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kHttp, "HEAD " + origin_.url("/page.html") + " HTTP/1.1\r\n\r\n" + Get("/page.html"));
  ASSERT_TRUE(client->ReadUntil([&] { return SplitAnswers(client->data, {true, false}).size() == 2; }));
  const auto responses = SplitAnswers(client->data, {true, false});
  EXPECT_EQ(responses[0].fields.at("content-length"), std::to_string(SampleHtml().size()));
  EXPECT_TRUE(responses[0].body.empty());
  EXPECT_EQ(responses[1].body, SampleHtml());
}

TEST_F(HttpProxyTest, PostBodyByContentLengthReachesTheOrigin) {
  StartServer();
  const std::string body = RandomBytes(150000, 3);
  auto client = Connect();
  client->Open({}, Protocol::kHttp,
               "POST " + origin_.url("/echo") + " HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\n\r\n");
  client->SendData(body);
  ASSERT_TRUE(client->ReadUntil([&] { return SplitAnswers(client->data, {false}).size() == 1; }));
  EXPECT_EQ(SplitAnswers(client->data, {false})[0].body, body);
}

TEST_F(HttpProxyTest, ChunkedRequestBodyIsPassedOnChunked) {
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kHttp,
               "POST " + origin_.url("/echo") + " HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n");
  client->SendData("6\r\n world\r\n");
  client->SendData("0\r\n\r\n");
  ASSERT_TRUE(client->ReadUntil([&] { return SplitAnswers(client->data, {false}).size() == 1; }));
  EXPECT_EQ(SplitAnswers(client->data, {false})[0].body, "hello world");
  ASSERT_EQ(origin_.requests().size(), 1u);
  EXPECT_EQ(origin_.requests()[0].fields.at("transfer-encoding"), "chunked");
}

TEST_F(HttpProxyTest, ChunkedAnswerArrivesWhole) {
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kHttp, Get("/chunked"));
  ASSERT_TRUE(client->ReadUntil([&] { return SplitAnswers(client->data, {false}).size() == 1; }));
  std::string expected;
  for (const auto* chunk : HttpOrigin::kChunks) expected += chunk;
  const auto response = SplitAnswers(client->data, {false})[0];
  EXPECT_EQ(response.fields.at("transfer-encoding"), "chunked");
  EXPECT_EQ(response.body, expected);
}

TEST_F(HttpProxyTest, AnswerEndedByCloseEndsTheTunnel) {
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kHttp, "GET " + origin_.url("/old") + " HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(client->WaitForClose());
  EXPECT_NE(client->data.find("\r\n\r\nan answer ended by closing\n"), std::string::npos);
}

TEST_F(HttpProxyTest, LargeAnswerComesInFramesOfAtMost64511Bytes) {
  StartServer();
  const std::size_t size = 3'000'000;
  auto client = Connect();
  client->Open({}, Protocol::kHttp, Get("/big/" + std::to_string(size)));
  ASSERT_TRUE(client->ReadUntil([&] { return SplitAnswers(client->data, {false}).size() == 1; }, 60s));
  EXPECT_EQ(SplitAnswers(client->data, {false})[0].body, BigBody(size));
  EXPECT_GT(client->data_frames.size(), size / kMaxRawBlock);
  for (const std::size_t frame : client->data_frames) EXPECT_LE(frame, kMaxRawBlock);
}

TEST_F(HttpProxyTest, CreditRunOutMidConnectionStopsTheNextRequestAfterMuchTraffic) {
  StartServer();
  auto client = Connect();
  const std::size_t size = 200'000;  // far past what is judged without asking the store
  client->Open({}, Protocol::kHttp, Get("/big/" + std::to_string(size)));
  ASSERT_TRUE(client->ReadUntil([&] { return SplitAnswers(client->data, {false}).size() == 1; }, 60s));
  auto account = store_->Find(kDemoId);
  ASSERT_TRUE(account);
  account->credit_kib = 0;
  account->prepaid_until.reset();
  ASSERT_TRUE(store_->Update(*account));
  client->SendData(Get("/big/10"));
  ASSERT_TRUE(client->WaitForClose());
  ASSERT_FALSE(client->controls.empty());
  EXPECT_EQ(client->controls.back().kind, ckNoCredit);
  EXPECT_EQ(SplitAnswers(client->data, {false, false}).size(), 1u) << "the second answer never came";
}

TEST_F(HttpProxyTest, ASlowClientHoldsTheOriginBack) {
  StartServer();
  const std::size_t size = 32u << 20;
  auto client = Connect(true);
  client->Open({}, Protocol::kHttp, Get("/big/" + std::to_string(size)));
  ASSERT_TRUE(client->WaitForData(1 << 20));
  // Stop reading until the origin can write no more.
  std::size_t before = 0;
  for (int i = 0; i < 100 && origin_.big_written != before; ++i) {
    before = origin_.big_written;
    std::this_thread::sleep_for(200ms);
  }
  EXPECT_LT(origin_.big_written.load(), size / 2) << "the server buffered the answer instead of holding back";
  ASSERT_TRUE(client->ReadUntil([&] { return client->data.size() >= size; }, 120s));
  EXPECT_EQ(origin_.big_written.load(), size);
}

TEST_F(HttpProxyTest, HopByHopAndProxyHeadersAreNotPassedOn) {
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kHttp,
               "GET " + origin_.url("/page.html?q=1#frag") +
                   " HTTP/1.1\r\nHost: wrong.test\r\nProxy-Connection: keep-alive\r\nProxy-Authorization: Basic eDp5\r\n"
                   "Connection: keep-alive, X-Private\r\nX-Private: secret\r\nKeep-Alive: 300\r\nTE: trailers\r\n"
                   "X-Kept: yes\r\n\r\n");
  ASSERT_TRUE(client->ReadUntil([&] { return SplitAnswers(client->data, {false}).size() == 1; }));
  ASSERT_EQ(origin_.requests().size(), 1u);
  const RecordedRequest request = origin_.requests()[0];
  EXPECT_EQ(request.target, "/page.html?q=1");
  EXPECT_EQ(request.fields.at("host"), "127.0.0.1:" + std::to_string(origin_.port()));
  EXPECT_EQ(request.fields.at("x-kept"), "yes");
  for (const char* gone : {"proxy-connection", "proxy-authorization", "x-private", "keep-alive", "te"}) {
    EXPECT_EQ(request.fields.count(gone), 0u) << gone;
  }
}

TEST_F(HttpProxyTest, TheUpdatersBufferHintIsTakenOutAndOtherBadNamesStillRefused) {
  StartServer();
  auto client = Connect();
  // The updater's request as it sends it, the hint line in the middle.
  client->Open({}, Protocol::kHttp,
               "GET " + origin_.url("/page.html") + " HTTP/1.1\r\nHost: 127.0.0.1\r\nKorvan buffer: 4096\r\n"
               "Pragma: no-cache\r\nUser-Agent: KORVAN 1.0 (Build 0.509)\r\n\r\n");
  ASSERT_TRUE(client->ReadUntil([&] { return SplitAnswers(client->data, {false}).size() == 1; }));
  EXPECT_EQ(client->data.rfind("HTTP/1.1 200 ", 0), 0u) << client->data.substr(0, 200);
  ASSERT_EQ(origin_.requests().size(), 1u);
  EXPECT_EQ(origin_.requests()[0].fields.count("korvan buffer"), 0u);
  EXPECT_EQ(origin_.requests()[0].fields.at("user-agent"), "KORVAN 1.0 (Build 0.509)");

  for (const std::string bad : {"Korvan buffer: many", "Other name: 1", "Korvan buffer: 4096 x"}) {
    auto refused = Connect();
    refused->Open({}, Protocol::kHttp, "GET " + origin_.url("/page.html") + " HTTP/1.1\r\nHost: h\r\n" + bad +
                                           "\r\n\r\n");
    ASSERT_TRUE(refused->WaitForClose()) << bad;
    EXPECT_EQ(refused->data.rfind("HTTP/1.1 400 ", 0), 0u) << bad;
  }
  EXPECT_EQ(origin_.requests().size(), 1u);
}

TEST_F(HttpProxyTest, ExpectContinueIsAnsweredByTheProxy) {
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kHttp,
               "POST " + origin_.url("/echo") + " HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n");
  ASSERT_TRUE(client->WaitForData(25));
  EXPECT_EQ(client->data, "HTTP/1.1 100 Continue\r\n\r\n");
  client->SendData("body");
  ASSERT_TRUE(client->ReadUntil([&] { return SplitAnswers(client->data.substr(25), {false}).size() == 1; }));
  EXPECT_EQ(SplitAnswers(client->data.substr(25), {false})[0].body, "body");
  EXPECT_EQ(origin_.requests().at(0).fields.count("expect"), 0u);
}

TEST_F(HttpProxyTest, ConnectIsConfirmedAndRelayedBothWays) {
  EchoServer echo;
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kHttp, "CONNECT 127.0.0.1:" + std::to_string(echo.port()) + " HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(client->WaitForControl());
  EXPECT_EQ(client->controls[0].kind, ckConnectOk);
  client->SendData("through the tunnel");
  ASSERT_TRUE(client->WaitForData(18));
  EXPECT_EQ(client->data, "through the tunnel");
}

TEST_F(HttpProxyTest, UnreachableTargetGetsGatewayErrorWithTheHostName) {
  StartServer();
  for (const std::string& request :
       {"GET http://127.0.0.1:" + std::to_string(ClosedPort()) + "/x HTTP/1.1\r\n\r\n",
        "CONNECT 127.0.0.1:" + std::to_string(ClosedPort()) + " HTTP/1.1\r\n\r\n"}) {
    auto client = Connect();
    client->Open({}, Protocol::kHttp, request);
    ASSERT_TRUE(client->WaitForClose()) << request;
    ASSERT_EQ(client->controls.size(), 1u) << request;
    EXPECT_EQ(client->controls[0].kind, ckGatewayError);
    EXPECT_EQ(client->controls[0].text(), "127.0.0.1");
  }
}

TEST_F(HttpProxyTest, PrivateTargetsAreRefusedWithoutAllowPrivate) {
  config_.allow_private = false;
  StartServer();
  for (const std::string& request : {Get("/page.html"), "CONNECT 127.0.0.1:" + std::to_string(origin_.port()) +
                                                           " HTTP/1.1\r\n\r\n",
                                    "GET http://[::1]:" + std::to_string(origin_.port()) + "/ HTTP/1.1\r\n\r\n"}) {
    auto client = Connect();
    client->Open({}, Protocol::kHttp, request);
    ASSERT_TRUE(client->WaitForClose()) << request;
    EXPECT_EQ(client->data.rfind("HTTP/1.1 403 ", 0), 0u) << request;
  }
  EXPECT_EQ(origin_.connections(), 0u);
}

TEST_F(HttpProxyTest, RequestsItCannotServeGetBadRequest) {
  StartServer();
  for (const std::string& request : {std::string("GET /relative HTTP/1.1\r\nHost: x\r\n\r\n"),
                                    std::string("GET https://127.0.0.1/ HTTP/1.1\r\n\r\n"),
                                    std::string("NOT HTTP AT ALL\r\n\r\n")}) {
    auto client = Connect();
    client->Open({}, Protocol::kHttp, request);
    ASSERT_TRUE(client->WaitForClose()) << request;
    EXPECT_EQ(client->data.rfind("HTTP/1.1 400 ", 0), 0u) << request;
  }
}

TEST_F(HttpProxyTest, FramingThatParsersCouldReadDifferentlyIsRefusedBeforeTheOrigin) {
  StartServer();
  const std::string post = "POST " + origin_.url("/echo") + " HTTP/1.1\r\nHost: h\r\n";
  const std::string chunked = post + "Transfer-Encoding: chunked\r\n\r\n";
  for (const std::string& request : {
           post + "Content-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
           post + "Transfer-Encoding: chunked\r\nContent-Length: 4\r\n\r\n0\r\n\r\n",
           post + "Content-Length: 4\r\nContent-Length: 4\r\n\r\nbody",
           post + "Content-Length: 4\r\nContent-Length: 5\r\n\r\nbody",
           post + "Content-Length: 4, 4\r\n\r\nbody",
           post + "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n",
           post + "Transfer-Encoding: identity\r\nContent-Length: 4\r\n\r\nbody",
           post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
           post + "X-Folded: a\r\n b\r\nContent-Length: 4\r\n\r\nbody",
           post + "X-Folded: a\r\n\tContent-Length: 4\r\n\r\nbody",
           post + "X-Bare: a\rContent-Length: 4\r\n\r\nbody",
           post + "X-Bare: a\nContent-Length: 4\r\n\r\nbody",
           chunked + "80000000\r\nhello\r\n0\r\n\r\n",
           chunked + "ffffffffffffffffff\r\nhello\r\n0\r\n\r\n",
       }) {
    auto client = Connect();
    client->Open({}, Protocol::kHttp, request);
    ASSERT_TRUE(client->WaitForClose()) << request;
    EXPECT_EQ(client->data.rfind("HTTP/1.1 400 ", 0), 0u) << request << "\n" << client->data.substr(0, 200);
  }
  EXPECT_TRUE(origin_.requests().empty());
}

TEST_F(HttpProxyTest, AnEndlessHeaderIsRefusedAtItsLimit) {
  StartServer();
  auto client = Connect();
  client->Open({}, Protocol::kHttp, "GET " + origin_.url("/page.html") + " HTTP/1.1\r\n");
  for (int i = 0; i < 20 && !client->closed; ++i) {
    client->SendData("X-Filler: " + std::string(8000, 'a') + "\r\n");
    client->ReadUntil([] { return false; }, 10ms);
  }
  ASSERT_TRUE(client->WaitForClose());
  EXPECT_EQ(client->data.rfind("HTTP/1.1 431 ", 0), 0u);
  EXPECT_EQ(origin_.connections(), 0u);
}

}  // namespace
}  // namespace korvan::server::test
