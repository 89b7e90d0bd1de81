#include "localisation/text_format.h"

#include <gtest/gtest.h>

namespace korvan {
namespace {

TEST(FormatText, FillsStringAndNumberPlaceholdersInOrder) {
  EXPECT_EQ(FormatText("Opravdu odebrat %S na portu %S?", {"HTTP", "8080"}), "Opravdu odebrat HTTP na portu 8080?");
  EXPECT_EQ(FormatText("port %d.", {8080}), "port 8080.");
  EXPECT_EQ(FormatText("%s (%s)", {"1 MB", "50 %"}), "1 MB (50 %)");
  EXPECT_EQ(FormatText("%d.%d (Build %d.%d)", {1, 0, 0, 509}), "1.0 (Build 0.509)");
}

TEST(FormatText, TreatsEveryOtherPercentLiterally) {
  EXPECT_EQ(FormatText("width=\"100%%\"", {}), "width=\"100%\"");
  EXPECT_EQ(FormatText("50 % off, 10%x, end %", {}), "50 % off, 10%x, end %");
  EXPECT_EQ(FormatText("%n%p%x%08d", {}), "%n%p%x%08d");
}

TEST(FormatText, NeverScansArgumentsAndToleratesMissingOnes) {
  EXPECT_EQ(FormatText("host: %S", {"%S%d%%"}), "host: %S%d%%");
  EXPECT_EQ(FormatText("%S and %S and %d", {"one"}), "one and  and ");
  EXPECT_EQ(FormatText("no placeholder", {"unused"}), "no placeholder");
}

TEST(FormatText, EscapedTextComesOutUnchanged) {
  const std::string text = "100% %S %% %d";
  EXPECT_EQ(FormatText(EscapePercent(text), {"x"}), text);
}

}  // namespace
}  // namespace korvan
