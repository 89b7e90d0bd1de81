// Every kind of control frame: what the client receives, what the counters
// and the statistics see, and what reaches the log.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "tests/response/frame_handler_fixture.h"

namespace korvan {
namespace {

using test::HandlerBench;
using Bytes = std::vector<std::uint8_t>;

TEST(ServerFrameHandler, DamagedControlFramesClose) {
  HandlerBench bench;
  EXPECT_EQ(bench.Handle(MakeFrame(tfControl | tfDeflate, Bytes{1, 2, 3, 4})), -1);    // broken zlib
  EXPECT_EQ(bench.Handle(MakeFrame(tfControl | tfWords, Bytes{'a', '|', 200})), -1);  // index past the list
  Bytes empty = MakeFrame(tfControl, Bytes{});
  empty.push_back(0);  // the cutter needs a third byte to see a frame
  EXPECT_EQ(bench.Handle(empty), -1);  // empty control payload
  EXPECT_EQ(bench.Handle(bench.Control(30)), -1);                                     // no such kind
  EXPECT_EQ(bench.Handle(bench.Control(ckCountOnly, "\x01")), -1);                    // size cut short
  EXPECT_EQ(bench.Handle(bench.Control(ckAccountInfo, std::string(10, 'x'))), -1);
  EXPECT_TRUE(bench.last.bytes.empty());
  EXPECT_TRUE(bench.shell.traffic.empty());
  EXPECT_EQ(bench.pending.counters.delivered, 0);
}

TEST(ServerFrameHandler, ConnectOkAndGeneratedPagesCountAsTheirShortFrame) {
  HandlerBench bench;
  EXPECT_EQ(bench.Handle(bench.Control(ckConnectOk)), 60);
  EXPECT_EQ(bench.Reply(), "HTTP/1.0 200 Connection established\r\nProxy-agent: KORVAN\r\n\r\n");
  EXPECT_EQ(bench.pending.counters.delivered + 60, 3);

  bench.pending.counters.delivered = 0;
  const std::int32_t n = bench.Handle(bench.Control(ckGatewayError, "bad.example.test<x>"));
  ASSERT_GT(n, 0);
  EXPECT_TRUE(bench.Reply().starts_with("HTTP/1.1 504 OK\r\n"));
  EXPECT_NE(bench.Reply().find("bad.example.test&lt;x&gt;"), std::string::npos);
  EXPECT_EQ(bench.pending.counters.delivered + n, static_cast<std::int64_t>(1 + 19 + 2));

  bench.pending.counters.delivered = 0;
  const std::int32_t m = bench.Handle(bench.Control(ckLoginFailed, "", true));
  ASSERT_GT(m, 0);
  EXPECT_TRUE(bench.Reply().starts_with("HTTP/1.1 404 OK\r\n"));
  // Counted as the 3-byte frame less the page (handed over with the log
  // text); the parser then adds the page it writes.
  EXPECT_EQ(bench.pending.counters.delivered, 0);
  EXPECT_DOUBLE_EQ(bench.shell.totals[0] * 1024, 3.0 - m);
  EXPECT_EQ(bench.shell.log.back(), bench.texts.Text(TextKey::InvalidUserOrPwd));
  EXPECT_EQ(bench.shell.tray_icon, kTrayIconAlarm);
}

TEST(ServerFrameHandler, OtherPortsGetNoPages) {
  HandlerBench bench(Protocol::kSocks4);
  EXPECT_EQ(bench.Handle(bench.Control(ckLoginFailed)), 0);
  EXPECT_TRUE(bench.last.bytes.empty());
  EXPECT_EQ(bench.shell.log, (std::vector<std::string>{std::string(bench.texts.Text(TextKey::InvalidUserOrPwd))}));
  EXPECT_EQ(bench.Handle(bench.Control(ckNoCredit)), 0);
  EXPECT_EQ(bench.shell.log.back(), bench.texts.Text(TextKey::NoCreditLog));
  bench.pending.counters.delivered = 0;
  EXPECT_EQ(bench.Handle(bench.Control(ckGatewayError, "h")), -1);
  EXPECT_EQ(bench.pending.counters.delivered, 2);
}

TEST(ServerFrameHandler, TextsReachTheLogAndNothingReachesTheClient) {
  HandlerBench bench;
  EXPECT_EQ(bench.Handle(bench.Control(ckStatusText, "50 % done")), 0);
  EXPECT_EQ(bench.Handle(bench.Control(ckTooManyConnections)), 0);
  EXPECT_TRUE(bench.last.bytes.empty());
  EXPECT_EQ(bench.shell.log,
            (std::vector<std::string>{"50 % done", std::string(bench.texts.Text(TextKey::TooManyConnections))}));
  EXPECT_EQ(bench.shell.messages_page_shown, 2);
  // The server's text cannot forge log lines of its own.
  EXPECT_EQ(bench.Handle(bench.Control(ckStatusText, "done\r\n09.12.2026 10:00:00 - forged\x1b")), 0);
  EXPECT_EQ(bench.shell.log.back(), "done  09.12.2026 10:00:00 - forged ");

  // A connection error is logged only when the switch says so, and then
  // stays pending.
  bench.shell.list_connect_errors = false;
  bench.pending.status_text = bench.texts.Text(TextKey::ServerConnectionErr);
  bench.handler.ReportStatus(bench.pending);
  EXPECT_EQ(bench.shell.log.size(), 3U);
  EXPECT_FALSE(bench.pending.status_text.empty());
}

TEST(ServerFrameHandler, FlashCountOnlyAndAccountInfo) {
  HandlerBench bench;
  const std::int32_t n = bench.Handle(bench.Control(ckFlash, "", true));
  EXPECT_EQ(n, static_cast<std::int32_t>(bench.Reply().size()));
  EXPECT_NE(bench.Reply().find("application/x-shockwave-flash"), std::string::npos);
  EXPECT_EQ(bench.last.decompressed, 0) << "the statistics count a Flash reply as nothing received";

  bench.pending.counters.delivered = 0;
  bench.previous_start = 700;
  bench.previous_end = 900;
  EXPECT_EQ(bench.Handle(bench.Control(ckCountOnly, std::string("\x10\x27", 2))), 0);
  EXPECT_EQ(bench.pending.counters.delivered, 10000);
  // The size is charged to the span of the frame before it.
  ASSERT_FALSE(bench.shell.traffic.empty());
  EXPECT_EQ(bench.shell.traffic.back().start, 700U);
  EXPECT_EQ(bench.shell.traffic.back().end, 900U);
  EXPECT_EQ(bench.shell.traffic.back().raw_in, 10000);
  EXPECT_TRUE(bench.last.bytes.empty());

  std::string info(25, '\0');
  const double prepaid = 46000.5;
  const double valid = 46100.0;
  std::memcpy(info.data(), &prepaid, 8);
  std::memcpy(info.data() + 8, &valid, 8);
  info[24] = 7;
  EXPECT_EQ(bench.Handle(bench.Control(ckAccountInfo, info, true)), 0);
  EXPECT_EQ(bench.shell.account, (std::vector<double>{prepaid, valid, 7}));
  EXPECT_EQ(bench.pending.counters.delivered, 10000 + 26);
}

TEST(ServerFrameHandler, ReportStatusFoldsCountersIntoKiB) {
  HandlerBench bench;
  bench.pending.counters = {2048, 1024, 512, 256};
  bench.pending.connection_delta = 1;
  bench.pending.is_update_check = true;
  bench.pending.status_text = "oops";
  bench.pending.samples = {{1, 2, 10, 5, 0, 0}, {2, 3, 0, 0, 7, 20}};
  bench.handler.ReportStatus(bench.pending);
  EXPECT_DOUBLE_EQ(bench.shell.totals[0], 2.0);
  EXPECT_DOUBLE_EQ(bench.shell.totals[1], 1.0);
  EXPECT_DOUBLE_EQ(bench.shell.totals[2], 0.5);
  EXPECT_DOUBLE_EQ(bench.shell.totals[3], 0.25);
  EXPECT_EQ(bench.shell.open_connections, 1);
  EXPECT_EQ(bench.shell.updater_error, "oops");
  EXPECT_EQ(bench.pending.connection_delta, 0);
  EXPECT_TRUE(bench.pending.counters.IsZero());
  EXPECT_TRUE(bench.pending.samples.empty());
  EXPECT_TRUE(bench.pending.status_text.empty()) << "a text the log took is cleared";
  ASSERT_EQ(bench.shell.traffic.size(), 2U);
  EXPECT_EQ(bench.shell.traffic[0].raw_out, 10);
  EXPECT_EQ(bench.shell.traffic[1].raw_in, 20);
}

}  // namespace
}  // namespace korvan

namespace korvan {
namespace {

// A blocked banner and a GIF offer leave the main thread as pixel work for
// the worker, and count as the object they stand for.
TEST(ServerFrameHandler, BannersAndGifOffersBecomePixelWorkCountedAsTheObject) {
  HandlerBench bench;
  bench.shell.saved_percent = 37.5;
  bench.shell.formats.decimal_separator = ",";
  const std::int32_t n = bench.Handle(bench.Control(5, std::string("\xd2\x04", 2)));  // 88 x 31, 1234 bytes
  ASSERT_GT(n, 0);
  EXPECT_TRUE(bench.last.render) << "drawn on the main thread";
  EXPECT_EQ(bench.last.decompressed, 1234);
  EXPECT_EQ(bench.last.counts_as, 1234);
  const std::string reply = bench.Reply();
  EXPECT_TRUE(reply.starts_with("HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\n"));
  const std::size_t body = reply.find("\r\n\r\n") + 4;
  ASSERT_GT(reply.size(), body + 10);
  EXPECT_EQ(reply.substr(body, 3), "GIF");
  EXPECT_EQ(static_cast<std::uint8_t>(reply[body + 6]) | static_cast<std::uint8_t>(reply[body + 7]) << 8, 88);
  EXPECT_EQ(static_cast<std::uint8_t>(reply[body + 8]) | static_cast<std::uint8_t>(reply[body + 9]) << 8, 31);

  // The offer's full size is taken out before the recompression sees it: a
  // body that is no GIF comes back as the response that arrived.
  const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc";
  ASSERT_GT(bench.Handle(bench.Control(ckRecompressGif, std::string("\x0a\x00\x0a\x00\x39\x05", 6) + response)), 0);
  EXPECT_TRUE(bench.last.render);
  EXPECT_EQ(bench.Reply(), response);
  EXPECT_EQ(bench.last.decompressed, 0x0539);
  EXPECT_EQ(bench.last.counts_as, 0x0539);
}

TEST(ServerFrameHandler, BannerAndGifFramesWithoutTheirFieldsClose) {
  HandlerBench bench;
  EXPECT_EQ(bench.Handle(bench.Control(0, std::string("\x10\x00", 2))), -1) << "index 0 has no size";
  EXPECT_EQ(bench.Handle(bench.Control(5, "\x01")), -1) << "full size cut short";
  EXPECT_EQ(bench.Handle(bench.Control(ckRecompressGif, std::string("\x01\x00\x01\x00\x05", 5))), -1);
  EXPECT_EQ(bench.pending.counters.delivered, 0);
}

}  // namespace
}  // namespace korvan
