// The server's pure pieces: dates, request parsing, the address policy,
// the rewritten request header, the fixed replies and the options.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>

#include "server/client_frames.h"
#include "server/dates.h"
#include "server/http_messages.h"
#include "server/log.h"
#include "server/proxy_target.h"
#include "server/replies.h"
#include "server/server_options.h"
#include "server/session.h"
#include "server/stream_requests.h"
#include "server/target_policy.h"
#include "tests/server/tunnel_client.h"
#include "wire/frame_format.h"
#include "wire/frame_writer.h"

namespace korvan::server::test {
namespace {

std::span<const std::uint8_t> Span(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(ServerLog, EveryEventStaysOneLineWhateverItHolds) {
  SetLogEnabled(true);
  testing::internal::CaptureStderr();
  Log("account 1 from 10.0.0.1: a status\r\n2026-01-01 00:00:00 korvan-server: forged\x1b[2J");
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  EXPECT_NE(out.find("a status\\x0D\\x0A2026-01-01"), std::string::npos) << out;
  EXPECT_NE(out.find("forged\\x1B[2J"), std::string::npos) << out;
  EXPECT_EQ(Printable("a\r\nb\\"), "a\\x0D\\x0Ab\\x5C");
}

TEST(Dates, WireValuesCountDaysSince18991230) {
  EXPECT_EQ(WireDate(std::nullopt), 0.0);
  EXPECT_EQ(WireDate(Date{1899, 12, 30}), 0.0);
  EXPECT_EQ(WireDate(Date{1900, 1, 1}), 2.0);
  EXPECT_EQ(WireDate(Date{2000, 1, 1}), 36526.0);
  EXPECT_EQ(WireDate(Date{2031, 5, 6}), 47974.0);
}

TEST(Dates, OnlyRealCalendarDatesParse) {
  EXPECT_EQ(ParseDate("2024-02-29"), (Date{2024, 2, 29}));
  for (const char* bad : {"2023-02-29", "2024-13-01", "2024-00-10", "2024-1-01", "24-01-01", "2024-01-01x", "",
                          "abcd-ef-gh", "1899-12-31"}) {
    EXPECT_FALSE(ParseDate(bad).has_value()) << bad;
  }
  EXPECT_EQ(FormatDate(Date{2031, 5, 6}), "2031-05-06");
}

TEST(Dates, DayNumbersRoundTrip) {
  for (std::int64_t day = -1000; day < 80000; day += 37) {
    EXPECT_EQ(DaysSinceUnixEpoch(DateFromUnixDays(day)), day);
  }
}

TEST(ProxyTarget, AbsoluteUrlsGiveHostPortAndOriginForm) {
  const auto t = ParseHttpTarget("HTTP://Example.test:8080/a/b?c=d#frag");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->address.host, "Example.test");
  EXPECT_EQ(t->address.port, 8080);
  EXPECT_EQ(t->authority, "Example.test:8080");
  EXPECT_EQ(t->path, "/a/b?c=d");

  const auto bare = ParseHttpTarget("http://example.test?x");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->address.port, 80);
  EXPECT_EQ(bare->authority, "example.test");
  EXPECT_EQ(bare->path, "/?x");

  const auto v6 = ParseHttpTarget("http://[::1]:81/");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->address.host, "::1");
  EXPECT_EQ(v6->authority, "[::1]:81");
}

TEST(ProxyTarget, UrlsThatCannotBeServedAreRefused) {
  for (const char* bad : {"/relative", "https://example.test/", "http://", "http://user:pw@example.test/",
                          "http://example.test:0/", "http://example.test:65536/", "http://exa mple.test/",
                          "http://::1/", "http://example.test:8x/", "ftp://example.test/"}) {
    EXPECT_FALSE(ParseHttpTarget(bad).has_value()) << bad;
  }
}

TEST(ProxyTarget, AuthoritiesNeedAPortUnlessOneIsGiven) {
  EXPECT_FALSE(ParseAuthority("example.test").has_value());
  EXPECT_EQ(ParseAuthority("example.test", 25)->port, 25);
  EXPECT_EQ(ParseAuthority("[2001:db8::1]:443")->host, "2001:db8::1");
  EXPECT_FALSE(ParseAuthority("[2001:db8::1").has_value());
  EXPECT_FALSE(ParseAuthority(std::string(300, 'a') + ":80").has_value());
  EXPECT_FALSE(ParseAuthority("host\r\nX: y:80").has_value());
}

TEST(MappingRequest, HostLineIsTakenWithWhatFollowsLeftOver) {
  const std::string bytes = "host:  127.0.0.1:7 \r\n\r\nrest";
  const auto result = ParseMappingRequest(Span(bytes));
  const auto* request = std::get_if<MappingRequest>(&result);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->target.host, "127.0.0.1");
  EXPECT_EQ(request->target.port, 7);
  EXPECT_EQ(bytes.substr(request->consumed), "rest");
}

TEST(MappingRequest, IncompleteWaitsAndWrongOrEndlessIsMalformed) {
  EXPECT_TRUE(std::holds_alternative<NeedMore>(ParseMappingRequest(Span("Ho"))));
  EXPECT_TRUE(std::holds_alternative<NeedMore>(ParseMappingRequest(Span("Host: a:1\r\n"))));
  EXPECT_TRUE(std::holds_alternative<Malformed>(ParseMappingRequest(Span("Hello"))));
  EXPECT_TRUE(std::holds_alternative<Malformed>(ParseMappingRequest(Span("Host: a\r\n\r\n"))));
  EXPECT_TRUE(std::holds_alternative<Malformed>(ParseMappingRequest(Span("Host: " + std::string(2000, 'a')))));
}

TEST(SocksRequest, Socks4AndSocks4aAreRead) {
  const std::string v4 = std::string("\x04\x01\x01\xBB\x0A\x01\x02\x03", 8) + "me" + '\0' + "tail";
  const auto r4 = ParseSocksRequest(Span(v4));
  const auto* request = std::get_if<SocksRequest>(&r4);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->command, 1);
  EXPECT_EQ(request->target.host, "10.1.2.3");
  EXPECT_EQ(request->target.port, 443);
  EXPECT_EQ(v4.substr(request->consumed), "tail");

  const std::string v4a = std::string("\x04\x01\x00\x50\x00\x00\x00\x07", 8) + '\0' + "example.test" + '\0';
  const auto r4a = ParseSocksRequest(Span(v4a));
  ASSERT_TRUE(std::holds_alternative<SocksRequest>(r4a));
  EXPECT_EQ(std::get<SocksRequest>(r4a).target.host, "example.test");
  EXPECT_EQ(std::get<SocksRequest>(r4a).consumed, v4a.size());
  EXPECT_TRUE(std::holds_alternative<NeedMore>(ParseSocksRequest(Span(v4a.substr(0, v4a.size() - 1)))));
}

TEST(SocksRequest, OverlongFieldsAndOtherVersionsAreMalformed) {
  EXPECT_TRUE(std::holds_alternative<Malformed>(ParseSocksRequest(Span("\x05\x01"))));
  const std::string header("\x04\x01\x00\x50\x00\x00\x00\x01", 8);
  EXPECT_TRUE(std::holds_alternative<Malformed>(ParseSocksRequest(Span(header + std::string(300, 'u')))));
  EXPECT_TRUE(std::holds_alternative<Malformed>(
      ParseSocksRequest(Span(header + '\0' + std::string(300, 'h')))));
  EXPECT_TRUE(std::holds_alternative<Malformed>(ParseSocksRequest(Span(header + '\0' + "a b" + '\0'))));
}

TEST(SocksRequest, RepliesAreEightBytes) {
  const auto granted = SocksReply(kSocksGranted, 0x1234, {1, 2, 3, 4});
  EXPECT_EQ(granted, (std::array<std::uint8_t, 8>{0, 0x5A, 0x12, 0x34, 1, 2, 3, 4}));
  EXPECT_EQ(SocksReply(kSocksRejected), (std::array<std::uint8_t, 8>{0, 0x5B, 0, 0, 0, 0, 0, 0}));
}

TEST(TargetPolicy, OwnNetworksAreRefusedAndPublicOnesAllowed) {
  const auto address = [](const char* text) { return boost::asio::ip::make_address(text); };
  for (const char* refused : {"127.0.0.1", "10.1.2.3", "172.16.0.1", "172.31.255.255", "192.168.1.1", "169.254.1.1",
                              "100.64.0.1", "0.0.0.0", "224.0.0.1", "255.255.255.255", "::1", "::", "fe80::1",
                              "fc00::1", "fd12::1", "ff02::1", "::ffff:127.0.0.1", "::ffff:10.0.0.1",
                              "64:ff9b::a00:1", "2002:c0a8:101::1"}) {
    EXPECT_FALSE(IsPublicAddress(address(refused))) << refused;
    EXPECT_TRUE(TargetPolicy{true}.Allows(address(refused))) << refused;
  }
  for (const char* allowed : {"8.8.8.8", "172.32.0.1", "192.169.0.1", "100.128.0.1", "2001:4860::8888",
                              "::ffff:8.8.8.8", "64:ff9b::808:808"}) {
    EXPECT_TRUE(IsPublicAddress(address(allowed))) << allowed;
  }
}

http::request<DiscardBody> ParseRequest(const std::string& text) {
  RequestCutter parser;
  PrepareCutter(parser);
  boost::beast::error_code ec;
  parser.put(boost::asio::buffer(text), ec);
  EXPECT_TRUE(parser.is_header_done()) << ec.message();
  return parser.release();
}

TEST(UpstreamHeader, ProxyAndHopByHopFieldsAreDroppedAndHostSet) {
  const auto request = ParseRequest(
      "POST http://example.test:8080/x?y HTTP/1.1\r\nHost: other\r\nConnection: Keep-Alive, X-Hop\r\n"
      "X-Hop: 1\r\nProxy-Connection: close\r\nProxy-Authorization: Basic eA==\r\nUpgrade: h2c\r\nTE: trailers\r\n"
      "Expect: 100-continue\r\nTransfer-Encoding: chunked\r\nX-End: 2\r\n\r\n");
  const auto target = ParseHttpTarget("http://example.test:8080/x?y");
  const std::string header = UpstreamRequestHeader(request, *target, true, true);
  EXPECT_EQ(header.rfind("POST /x?y HTTP/1.1\r\n", 0), 0u);
  EXPECT_NE(header.find("Host: example.test:8080\r\n"), std::string::npos);
  EXPECT_NE(header.find("Transfer-Encoding: chunked\r\n"), std::string::npos);
  EXPECT_NE(header.find("X-End: 2\r\n"), std::string::npos);
  for (const char* gone : {"other", "X-Hop", "Proxy-", "Upgrade", "TE:", "Expect", "Content-Length", "Connection"}) {
    EXPECT_EQ(header.find(gone), std::string::npos) << gone << " in\n" << header;
  }
  EXPECT_EQ(header.substr(header.size() - 4), "\r\n\r\n");
}

TEST(UpstreamHeader, ARequestWithTwoBodyLengthsIsNotAccepted) {
  RequestCutter parser;
  PrepareCutter(parser);
  boost::beast::error_code ec;
  const std::string both = "POST http://a.test/ HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n";
  parser.put(boost::asio::buffer(both), ec);
  EXPECT_TRUE(ec);
  EXPECT_FALSE(parser.is_header_done());
}

TEST(UpstreamHeader, KeepAliveFollowsTheClientForEachVersion) {
  const auto target = ParseHttpTarget("http://example.test/");
  const std::string closing = UpstreamRequestHeader(ParseRequest("GET http://example.test/ HTTP/1.1\r\n\r\n"), *target,
                                                    false, false);
  EXPECT_NE(closing.find("Connection: close\r\n"), std::string::npos);
  const std::string old = UpstreamRequestHeader(ParseRequest("GET http://example.test/ HTTP/1.0\r\n\r\n"), *target,
                                                true, false);
  EXPECT_EQ(old.rfind("GET / HTTP/1.0\r\n", 0), 0u);
  EXPECT_NE(old.find("Connection: keep-alive\r\n"), std::string::npos);
}

TEST(Replies, ControlFramesTravelUnpacked) {
  EXPECT_EQ(ControlFrame(ckConnectOk), (Bytes{0x0C, 0x01, ckConnectOk}));
  const Bytes gateway = ControlFrame(ckGatewayError, "example.test");
  EXPECT_EQ(gateway[0], tfControl | tfShortLength);
  EXPECT_EQ(gateway[1], 13);
  EXPECT_EQ(gateway[2], ckGatewayError);
  EXPECT_EQ(std::string(gateway.begin() + 3, gateway.end()), "example.test");
  const Bytes longest = ControlFrame(ckStatusText, std::string(100000, 'x'));
  EXPECT_EQ(longest.size(), 3 + kMaxRawBlock);
}

TEST(ClientFrames, DataControlAndBrokenFramesAreToldApart) {
  const WordList& words = *TestWords();
  std::vector<std::uint8_t> scratch(kMaxUnpackedBlock);
  Bytes data;
  const Bytes packed = PackFrame(words, ToBytes("Host: korvan.test:80\r\n\r\n"));
  ClientFrame taken = TakeClientFrame(words, packed, data, scratch.data());
  EXPECT_EQ(taken.kind, ClientFrameKind::kData);
  EXPECT_EQ(taken.consumed, packed.size());
  EXPECT_EQ(ToString(data), "Host: korvan.test:80\r\n\r\n");

  const Bytes request(kAccountInfoRequest.begin(), kAccountInfoRequest.end());
  EXPECT_EQ(TakeClientFrame(words, request, data, scratch.data()).kind, ClientFrameKind::kAccountInfoRequest);
  EXPECT_EQ(TakeClientFrame(words, Bytes{0x0C, 0x01, 'z'}, data, scratch.data()).kind,
            ClientFrameKind::kIgnoredControl);
  EXPECT_EQ(TakeClientFrame(words, Bytes{0x88, 0x02, 0xFF, 0xFF}, data, scratch.data()).kind, ClientFrameKind::kBad);
  EXPECT_EQ(TakeClientFrame(words, Bytes{0x48, 0x02, '|', 200}, data, scratch.data()).kind, ClientFrameKind::kBad);
  EXPECT_EQ(TakeClientFrame(words, Bytes{0x08, 0x05, 'a'}, data, scratch.data()).kind, ClientFrameKind::kIncomplete);
}

TEST(IdleLimit, TimeOutNibbleCountsHundredsOfSeconds) {
  EXPECT_EQ(IdleLimitFor(0), std::chrono::seconds(600));
  EXPECT_EQ(IdleLimitFor(1), std::chrono::seconds(100));
  EXPECT_EQ(IdleLimitFor(10), std::chrono::seconds(1000));
  EXPECT_EQ(IdleLimitFor(15), std::chrono::seconds(1500));
}

TEST(ServerOptions, TheDocumentedCommandLineParses) {
  const auto parsed = ParseServerOptions({"--listen", "127.0.0.1:3893", "--words", "w.lvk", "--accounts", "a.db",
                                          "--smtp-relay", "mail.test:25", "--allow-private", "--max-account-connections",
                                          "4"});
  ASSERT_TRUE(std::holds_alternative<ServerConfig>(parsed)) << std::get<std::string>(parsed);
  const auto& config = std::get<ServerConfig>(parsed);
  EXPECT_EQ(config.listen.port, 3893);
  EXPECT_EQ(config.words, "w.lvk");
  EXPECT_EQ(config.smtp_relay->host, "mail.test");
  EXPECT_TRUE(config.allow_private);
  EXPECT_EQ(config.max_account_connections, 4u);
  EXPECT_EQ(config.deflate_level, kDefaultDeflateLevel);
  EXPECT_EQ(std::get<ServerConfig>(ParseServerOptions({"--listen", "[::1]:0", "--words", "w", "--accounts", "a"}))
                .listen.port,
            0);
}

TEST(ServerOptions, MistakesAreNamed) {
  const auto problem = [](std::vector<std::string> args) {
    const auto parsed = ParseServerOptions(args);
    return std::holds_alternative<std::string>(parsed) ? std::get<std::string>(parsed) : std::string();
  };
  EXPECT_NE(problem({"--words", "w", "--accounts", "a"}).find("--listen"), std::string::npos);
  EXPECT_NE(problem({"--listen", "nohost", "--words", "w", "--accounts", "a"}).find("HOST:PORT"), std::string::npos);
  EXPECT_NE(problem({"--listen", "h:1", "--words", "w", "--accounts", "a", "--bogus", "1"}).find("--bogus"),
            std::string::npos);
  EXPECT_NE(problem({"--listen", "h:1", "--listen", "h:2", "--words", "w", "--accounts", "a"}).find("twice"),
            std::string::npos);
  EXPECT_NE(problem({"--listen", "h:1", "--words", "w", "--accounts"}).find("needs a value"), std::string::npos);
  EXPECT_NE(problem({"--listen", "h:1", "--words", "w", "--accounts", "a", "--threads", "0"}).find("--threads"),
            std::string::npos);
  for (const char* level : {"0", "13", "x", "-1"}) {
    EXPECT_NE(problem({"--listen", "h:1", "--words", "w", "--accounts", "a", "--deflate-level", level})
                  .find("--deflate-level"),
              std::string::npos)
        << level;
  }
  EXPECT_EQ(problem({"--listen", "h:1", "--words", "w", "--accounts", "a", "--deflate-level", "1"}), "");
}

}  // namespace
}  // namespace korvan::server::test
