// Every kind of server frame: what the client receives, what the counters
// and the statistics see, and what reaches the log.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "tests/response/frame_handler_fixture.h"

namespace korvan {
namespace {

using test::HandlerBench;
using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(ServerFrameHandler, DataFramesPassThroughAndCountForTheStatistics) {
  HandlerBench bench;
  const std::string page = "<html>" + std::string(500, 'a') + "</html>";
  const Bytes frame = PackFrame(bench.words, ToBytes(page));
  const Bytes behind(frame.size(), 0);  // as much again waits behind it
  bench.worker.FLastEmptyTick = 9000;
  EXPECT_EQ(bench.Handle(frame, behind), static_cast<std::int32_t>(page.size()));
  EXPECT_EQ(bench.Reply(), page);
  ASSERT_EQ(bench.shell.traffic.size(), 1U);
  const auto& t = bench.shell.traffic[0];
  EXPECT_EQ(t.start, 9000U);
  // Half of the buffered bytes belong to later frames: half the time span.
  const auto payload = static_cast<double>(frame.size() - 2 - (frame.size() > 257 ? 1 : 0));
  const double later = (2.0 * static_cast<double>(frame.size()) - payload) / (2.0 * static_cast<double>(frame.size()));
  EXPECT_EQ(t.end, 10000U - static_cast<std::uint32_t>(std::lround(later * 1000)));
  EXPECT_EQ(t.raw_in, static_cast<std::int64_t>(page.size()));
  EXPECT_EQ(bench.worker.FLastEmptyTick, t.end);
}

TEST(ServerFrameHandler, DamagedFramesClose) {
  HandlerBench bench;
  EXPECT_EQ(bench.Handle(MakeFrame(tfDeflate, Bytes{1, 2, 3, 4})), -1);      // broken zlib
  EXPECT_EQ(bench.Handle(MakeFrame(tfWords, Bytes{'a', '|', 200})), -1);    // index past the list
  EXPECT_EQ(bench.Handle(MakeFrame(tfControl, Bytes{}), Bytes{0}), -1);     // empty control payload
  EXPECT_EQ(bench.Handle(bench.Control(30)), -1);                           // no such kind
  EXPECT_EQ(bench.Handle(bench.Control(ckCountOnly, "\x01")), -1);          // size cut short
  EXPECT_EQ(bench.Handle(bench.Control(ckAccountInfo, std::string(10, 'x'))), -1);
  EXPECT_TRUE(bench.worker.FReply.empty());
  EXPECT_TRUE(bench.shell.traffic.empty());
  EXPECT_EQ(bench.Handle(MakeFrame(0, Bytes{}), Bytes{0}), 0);  // an empty raw frame carries nothing
}

TEST(ServerFrameHandler, ConnectOkAndGeneratedPagesCountAsTheirShortFrame) {
  HandlerBench bench;
  EXPECT_EQ(bench.Handle(bench.Control(ckConnectOk)), 60);
  EXPECT_EQ(bench.Reply(), "HTTP/1.0 200 Connection established\r\nProxy-agent: KORVAN\r\n\r\n");
  EXPECT_EQ(bench.worker.FDelivered + 60, 3);

  bench.worker.FDelivered = 0;
  const std::int32_t n = bench.Handle(bench.Control(ckGatewayError, "bad.example.test<x>"));
  ASSERT_GT(n, 0);
  EXPECT_TRUE(bench.Reply().starts_with("HTTP/1.1 504 OK\r\n"));
  EXPECT_NE(bench.Reply().find("bad.example.test&lt;x&gt;"), std::string::npos);
  EXPECT_EQ(bench.worker.FDelivered + n, static_cast<std::int64_t>(1 + 19 + 2));

  bench.worker.FDelivered = 0;
  const std::int32_t m = bench.Handle(bench.Control(ckLoginFailed, "", true));
  ASSERT_GT(m, 0);
  EXPECT_TRUE(bench.Reply().starts_with("HTTP/1.1 404 OK\r\n"));
  // Counted as the 3-byte frame less the page (handed over with the log
  // text); the parser then adds the page it writes.
  EXPECT_EQ(bench.worker.FDelivered, 0);
  EXPECT_DOUBLE_EQ(bench.shell.totals[0] * 1024, 3.0 - m);
  EXPECT_EQ(bench.shell.log.back(), bench.texts.Text(TextKey::InvalidUserOrPwd));
  EXPECT_EQ(bench.shell.tray_icon, kTrayIconAlarm);
}

TEST(ServerFrameHandler, OtherPortsGetNoPages) {
  HandlerBench bench(Protocol::kSocks4);
  EXPECT_EQ(bench.Handle(bench.Control(ckLoginFailed)), 0);
  EXPECT_TRUE(bench.worker.FReply.empty());
  EXPECT_EQ(bench.shell.log, (std::vector<std::string>{std::string(bench.texts.Text(TextKey::InvalidUserOrPwd))}));
  EXPECT_EQ(bench.Handle(bench.Control(ckNoCredit)), 0);
  EXPECT_EQ(bench.shell.log.back(), bench.texts.Text(TextKey::NoCreditLog));
  bench.worker.FDelivered = 0;
  EXPECT_EQ(bench.Handle(bench.Control(ckGatewayError, "h")), -1);
  EXPECT_EQ(bench.worker.FDelivered, 2);
}

TEST(ServerFrameHandler, TextsReachTheLogAndNothingReachesTheClient) {
  HandlerBench bench;
  EXPECT_EQ(bench.Handle(bench.Control(ckStatusText, "50 % done")), 0);
  EXPECT_EQ(bench.Handle(bench.Control(ckTooManyConnections)), 0);
  EXPECT_TRUE(bench.worker.FReply.empty());
  EXPECT_EQ(bench.shell.log,
            (std::vector<std::string>{"50 % done", std::string(bench.texts.Text(TextKey::TooManyConnections))}));
  EXPECT_EQ(bench.shell.messages_page_shown, 2);

  // A connection error is logged only when the switch says so, and then
  // stays pending.
  bench.shell.list_connect_errors = false;
  bench.worker.FStatusText = bench.texts.Text(TextKey::ServerConnectionErr);
  bench.handler.ReportStatus(bench.worker);
  EXPECT_EQ(bench.shell.log.size(), 2U);
  EXPECT_FALSE(bench.worker.FStatusText.empty());
}

TEST(ServerFrameHandler, FlashCountOnlyAndAccountInfo) {
  HandlerBench bench;
  const std::int32_t n = bench.Handle(bench.Control(ckFlash, "", true));
  EXPECT_EQ(n, static_cast<std::int32_t>(bench.Reply().size()));
  EXPECT_NE(bench.Reply().find("application/x-shockwave-flash"), std::string::npos);
  EXPECT_EQ(bench.shell.traffic.back().raw_in, 0);

  bench.worker.FDelivered = 0;
  EXPECT_EQ(bench.Handle(bench.Control(ckCountOnly, std::string("\x10\x27", 2))), 0);
  EXPECT_EQ(bench.worker.FDelivered, 10000);
  EXPECT_TRUE(bench.worker.FReply.empty());

  std::string info(25, '\0');
  const double prepaid = 46000.5;
  const double valid = 46100.0;
  std::memcpy(info.data(), &prepaid, 8);
  std::memcpy(info.data() + 8, &valid, 8);
  info[24] = 7;
  EXPECT_EQ(bench.Handle(bench.Control(ckAccountInfo, info, true)), 0);
  EXPECT_EQ(bench.shell.account, (std::vector<double>{prepaid, valid, 7}));
  EXPECT_EQ(bench.worker.FAccountInfo[24], 7);
}

TEST(ServerFrameHandler, ReportStatusFoldsCountersIntoKiB) {
  HandlerBench bench;
  bench.worker.FDelivered = 2048;
  bench.worker.FRawOut = 1024;
  bench.worker.FWireIn = 512;
  bench.worker.FWireOut = 256;
  bench.worker.FConnDelta = 1;
  bench.worker.FIsUpdateCheck = true;
  bench.worker.FStatusText = "oops";
  bench.handler.ReportStatus(bench.worker);
  EXPECT_DOUBLE_EQ(bench.shell.totals[0], 2.0);
  EXPECT_DOUBLE_EQ(bench.shell.totals[1], 1.0);
  EXPECT_DOUBLE_EQ(bench.shell.totals[2], 0.5);
  EXPECT_DOUBLE_EQ(bench.shell.totals[3], 0.25);
  EXPECT_EQ(bench.shell.open_connections, 1);
  EXPECT_EQ(bench.shell.updater_error, "oops");
  EXPECT_EQ(bench.worker.FConnDelta, 0);
  EXPECT_EQ(bench.worker.FDelivered + bench.worker.FRawOut + bench.worker.FWireIn + bench.worker.FWireOut, 0);
}

}  // namespace
}  // namespace korvan
