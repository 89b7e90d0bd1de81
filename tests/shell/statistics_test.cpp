#include <gtest/gtest.h>

#include "shell/number_text.h"
#include "shell/statistics_block.h"
#include "shell/statistics_view.h"

namespace korvan {
namespace {

LocaleFormat English() { return LocaleFormat{",", ".", "%d.%m.%Y", "%H:%M:%S"}; }
LocaleFormat Czech() { return LocaleFormat{"\xA0", ",", "%d.%m.%Y", "%H:%M:%S"}; }

double Bytes(double b) { return b / 1024.0; }

TEST(FormatKiBSize, ThresholdsUnderAPinnedLocale) {
  const auto en = English();
  EXPECT_EQ(FormatKiBSize(0, en), "0 B");
  EXPECT_EQ(FormatKiBSize(Bytes(999), en), "999 B");
  EXPECT_EQ(FormatKiBSize(Bytes(1000), en), "0.98 KB");
  EXPECT_EQ(FormatKiBSize(Bytes(1023999), en), "1,000.00 KB");
  EXPECT_EQ(FormatKiBSize(Bytes(1024000), en), "0.98 MB");
  EXPECT_EQ(FormatKiBSize(-2, en), "-2,048 B");
  EXPECT_EQ(FormatKiBSize(1048576, en), "1,024.00 MB");
  EXPECT_EQ(FormatKiBSize(1048577, en), "1.00 GB");
  EXPECT_EQ(FormatKiBSize(1073741825, en), "1.00 TB");
  EXPECT_EQ(FormatKiBSize(1073741824.0 * 2500, en), "2,500.00 TB");
  EXPECT_EQ(FormatKiBSize(Bytes(1023999), Czech()), "1\xA0" "000,00 KB");
}

TEST(FormatKiBSize, ValuesFromADamagedReplyStayReadable) {
  const auto en = English();
  EXPECT_EQ(FormatKiBSize(-1e300, en).back(), 'B');
  EXPECT_EQ(FormatKiBSize(std::numeric_limits<double>::quiet_NaN(), en), "? B");
  EXPECT_EQ(FormatKiBSize(std::numeric_limits<double>::infinity(), en), "? TB");
  EXPECT_EQ(FormatDateTime(1e20, en), "?");
  EXPECT_EQ(FormatDateTime(std::numeric_limits<double>::quiet_NaN(), en), "?");
}

TEST(FormatDateTime, CountsDaysFrom1899AndOmitsMidnight) {
  const auto en = English();
  EXPECT_EQ(FormatDateTime(2, en), "01.01.1900");
  EXPECT_EQ(FormatDateTime(45000.75, en), "15.03.2023 18:00:00");
  EXPECT_EQ(FormatDateTime(-1.25, en), "29.12.1899 06:00:00");
}

TEST(StatisticsBlock, HasItsFiftySevenByteLittleEndianLayout) {
  StatisticsBlock block{1.0, 2.0, 3.0, 4.0, 5.0, 45000.5, -0.0, 0xAB};
  const auto bytes = SerializeStatistics(block);
  // 1.0 is 3F F0 00 .. 00, stored low byte first.
  EXPECT_EQ(bytes[7], 0x3F);
  EXPECT_EQ(bytes[6], 0xF0);
  EXPECT_EQ(bytes[0], 0x00);
  EXPECT_EQ(bytes[8 + 7], 0x40);  // 2.0
  EXPECT_EQ(bytes[55], 0x80);     // sign of -0.0
  EXPECT_EQ(bytes[56], 0xAB);
  EXPECT_EQ(ParseStatistics(bytes), block);
  EXPECT_EQ(ParseStatistics(std::span(bytes).first(56)), std::nullopt);
}

TEST(ShowStatistics, AllZeroShowsZeroAndUnknownDates) {
  TextTable texts;
  const auto t = ShowStatistics(StatisticsBlock{}, English(), texts);
  EXPECT_EQ(t.CelkemEL, "0 B");
  EXPECT_EQ(t.saved_percent, "0.00%");
  EXPECT_EQ(t.PredplacenoL, "?");
  EXPECT_EQ(t.PlatnostL, "?");
  EXPECT_EQ(t.credit_caption, "Credit:");
  EXPECT_EQ(t.tray_hint, "Celkem u\x9A" "et\xF8" "eno: 0 B (0.00%)");
}

TEST(ShowStatistics, SavingsColumnsAndPercentage) {
  TextTable texts;
  StatisticsBlock b;
  b.sent_uncompressed = 100;
  b.sent_compressed = 102;  // compression made it bigger
  b.received_uncompressed = 300;
  b.received_compressed = 98;
  b.credit = 2048;
  b.prepaid_until = 45000.5;
  const auto t = ShowStatistics(b, English(), texts);
  EXPECT_EQ(t.OdeslanoUsporaEL, "-2,048 B");
  EXPECT_EQ(t.PrijatoUsporaEL, "202.00 KB");
  EXPECT_EQ(t.CelkemUsporaEL, "200.00 KB");
  EXPECT_EQ(t.CelkemEL, "400.00 KB");
  EXPECT_EQ(t.CelkemCEL, "200.00 KB");
  EXPECT_EQ(t.credit_value, "2.00 MB");
  EXPECT_EQ(t.saved_percent, "50.00%");
  EXPECT_EQ(t.PredplacenoL, "15.03.2023 12:00:00");
  EXPECT_EQ(t.PlatnostL, "?");
  EXPECT_DOUBLE_EQ(SavedPercent(b), 50.0);
}

}  // namespace
}  // namespace korvan
