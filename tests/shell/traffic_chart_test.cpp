#include "shell/traffic_chart.h"

#include <gtest/gtest.h>

#include "shell/korvan_form.h"
#include "tests/shell/shell_fakes.h"

namespace korvan {
namespace {

std::uint64_t SentTotal(const TrafficChart& chart) {
  std::uint64_t sum = 0;
  for (const auto& b : chart.buckets()) sum += b.sent_uncompressed;
  return sum;
}

TEST(TrafficChart, SpreadsATransferOverTheSecondsItCovers) {
  TrafficChart chart;
  chart.Reset(100000);  // bucket 60 began at 100000, bucket 59 at 99000
  // 99500 .. 101000: half a second in bucket 59, the whole of bucket 60, and
  // nothing beyond the current second's end is kept.
  chart.AddTraffic(99500, 100500, 1000, 0, 0, 0);
  EXPECT_EQ(chart.buckets()[59].sent_uncompressed, 500u);
  EXPECT_EQ(chart.buckets()[60].sent_uncompressed, 500u);
  // Counts in their own fields; shares that do not divide evenly still add
  // up to the whole count.
  chart.Reset(100000);
  chart.AddTraffic(97000, 100000, 10, 20, 7, 1);
  EXPECT_EQ(chart.buckets()[57].sent_compressed, 7u);
  EXPECT_EQ(chart.buckets()[58].sent_compressed, 6u);
  EXPECT_EQ(chart.buckets()[59].sent_compressed, 7u);
  EXPECT_EQ(chart.buckets()[57].received_compressed + chart.buckets()[58].received_compressed +
                chart.buckets()[59].received_compressed,
            7u);
  EXPECT_EQ(SentTotal(chart), 10u);
  EXPECT_EQ(chart.buckets()[60], TrafficChart::Bucket{});
}

TEST(TrafficChart, ShortAndInstantTransfersAreCountedOnce) {
  TrafficChart chart;
  chart.Reset(5000);
  chart.AddTraffic(4800, 5200, 400, 0, 0, 0);  // 400 ms across an edge
  EXPECT_EQ(chart.buckets()[59].sent_uncompressed + chart.buckets()[60].sent_uncompressed, 400u);
  chart.AddTraffic(5300, 5300, 9, 0, 0, 0);
  EXPECT_EQ(chart.buckets()[60].sent_uncompressed, 209u);
  chart.AddTraffic(5300, 5200, 9, 0, 0, 0);  // ends before it starts: ignored
  chart.AddTraffic(-70000, -69000, 9, 0, 0, 0);  // long gone
  EXPECT_EQ(SentTotal(chart), 409u);
}

TEST(TrafficChart, WorksAcrossTheTickCounterWrap) {
  TrafficChart chart;
  chart.Reset(200);  // counter wrapped 200 ms ago
  chart.AddTraffic(0xFFFFFF00u, 300, 556, 0, 0, 0);
  EXPECT_EQ(chart.buckets()[59].sent_uncompressed + chart.buckets()[60].sent_uncompressed, 556u);
  EXPECT_EQ(chart.buckets()[60].sent_uncompressed, 100u);
}

TEST(TrafficChart, TickAveragesThreeSecondsAndShiftsLeft) {
  TrafficChart chart;
  chart.Reset(60000);
  chart.AddTraffic(58000, 59000, 0, 0, 0, 3072);  // bucket 58
  chart.AddTraffic(60000, 60000, 1024, 0, 0, 0);  // bucket 60
  chart.Tick(61000);
  const auto& received = chart.series(TrafficChart::kReceived);
  EXPECT_DOUBLE_EQ(received[57], 1.0);
  EXPECT_DOUBLE_EQ(received[58], 1.0);
  EXPECT_DOUBLE_EQ(received[59], 1.0);
  EXPECT_DOUBLE_EQ(received[60], 0.0);
  EXPECT_DOUBLE_EQ(chart.series(TrafficChart::kSent)[60], 1.0);  // end point: own bucket
  EXPECT_EQ(chart.buckets()[57].received_decompressed, 3072u);
  EXPECT_EQ(chart.buckets()[59].sent_uncompressed, 1024u);
  EXPECT_EQ(chart.buckets()[60], TrafficChart::Bucket{});
  EXPECT_EQ(chart.current_start(), 61000u);
}

TEST(Timer1Timer, AsksForAccountInformationEveryThreeHundredTicks) {
  test::FakeShell shell;
  KorvanForm form(shell.Services());
  form.Open(shell.LogFileHandle(), {});
  form.account_info_wanted = false;
  for (int i = 0; i < 299; ++i) {
    shell.clock.tick += 1000;
    form.Timer1Timer();
  }
  EXPECT_FALSE(form.account_info_wanted);
  form.Timer1Timer();
  EXPECT_TRUE(form.account_info_wanted);
  form.account_info_wanted = false;
  for (int i = 0; i < 299; ++i) form.Timer1Timer();
  EXPECT_FALSE(form.account_info_wanted);
}

}  // namespace
}  // namespace korvan
