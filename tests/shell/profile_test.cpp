#include "shell/profile.h"

#include <gtest/gtest.h>

#include "tests/shell/shell_fakes.h"

namespace korvan {
namespace {

TEST(ProfileDocument, ReadsLikeTheProfileFunctions) {
  const auto doc = ProfileDocument::Parse(
      "orphan=1\r\n[Config]\r\n  IDSE_Value =  123 \t\r\n;Server=5\r\nquoted=\"  x  \"\r\n"
      "idse_value=999\r\n[config]\r\nLate=1\r\n[Other]\nk=v");
  EXPECT_EQ(doc.Find("CONFIG", "idse_value"), "123");  // first key counts
  EXPECT_EQ(doc.Find("Config", "quoted"), "  x  ");
  EXPECT_EQ(doc.Find("Config", "Server"), std::nullopt);  // comment
  EXPECT_EQ(doc.Find("Config", "Late"), std::nullopt);    // repeated section ignored
  EXPECT_EQ(doc.Find("Other", "k"), "v");
  EXPECT_EQ(doc.Find("", "orphan"), std::nullopt);
}

TEST(ProfileDocument, WriteKeepsEveryOtherLineAndItsLineEnds) {
  auto doc = ProfileDocument::Parse("; kept\n[A]\nx=1\n\n[B]\ny=2\n");
  doc.Write("a", "X", "10");   // in place, spelling of the file kept
  doc.Write("A", "new", "n");  // after the section's last entry
  doc.Write("C", "z", "3");    // new section at the end
  EXPECT_EQ(doc.Serialize(), "; kept\n[A]\nx=10\nnew=n\n\n[B]\ny=2\n\n[C]\nz=3\n");
}

TEST(ProfileDocument, ValuesThatReadingWouldChangeRoundTripExactly) {
  ProfileDocument doc;
  for (const std::string value : {" lead", "trail\t", "\"quoted\"", "'q'", "plain", "", "a=b;c"}) {
    doc.Write("S", "k", value);
    EXPECT_EQ(ProfileDocument::Parse(doc.Serialize()).Find("S", "k"), value) << value;
  }
  doc.Write("S", "k", "first\r\n[Injected]\r\nk=v");
  const auto reread = ProfileDocument::Parse(doc.Serialize());
  EXPECT_EQ(reread.Find("S", "k"), "first");
  EXPECT_FALSE(reread.Find("Injected", "k"));
}

TEST(ProfileInteger, AcceptsOnlyWholeNumbers) {
  EXPECT_EQ(ParseProfileInteger("42"), 42);
  EXPECT_EQ(ParseProfileInteger("-7"), -7);
  EXPECT_EQ(ParseProfileInteger("+7"), 7);
  for (const char* bad : {"", "4x", "x4", "+-1", "2147483648", "1.5", "0x10"}) {
    EXPECT_EQ(ParseProfileInteger(bad), std::nullopt) << bad;
  }
  const auto doc = ProfileDocument::Parse("[C]\nn=abc\nb=2\nz=0\n");
  EXPECT_EQ(ReadProfileInteger(doc, "C", "n", 5), 5);
  EXPECT_TRUE(ReadProfileBool(doc, "C", "b", false));
  EXPECT_FALSE(ReadProfileBool(doc, "C", "z", true));
  EXPECT_TRUE(ReadProfileBool(doc, "C", "n", true));
}

TEST(Profile, BatchReachesTheFileInOneReplacement) {
  test::MemoryProfileStore store;
  store.bytes = "[Keep]\r\nk=v\r\n";
  Profile profile(store);
  auto batch = profile.BeginBatch();
  batch.WriteInteger("Config", "IDSE_Value", 123456789);
  batch.WriteBool("Config", "ListErrIP", true);
  EXPECT_EQ(store.replacements, 0);
  ASSERT_TRUE(batch.Commit());
  EXPECT_EQ(store.replacements, 1);
  EXPECT_EQ(*store.bytes, "[Keep]\r\nk=v\r\n\r\n[Config]\r\nIDSE_Value=123456789\r\nListErrIP=1\r\n");
}

TEST(Profile, AnUnreadableFileGivesDefaultsAndIsNeverOverwritten) {
  test::MemoryProfileStore store;
  store.bytes = "[Config]\nIDSE_Value=5\n";
  store.unreadable = true;
  Profile profile(store);
  EXPECT_EQ(profile.ReadInteger("Config", "IDSE_Value", 100000), 100000);
  EXPECT_FALSE(profile.WriteBool("Config", "ShutDownOK", false));
  EXPECT_FALSE(profile.BeginBatch().Commit());
  EXPECT_EQ(store.replacements, 0);
  EXPECT_FALSE(profile.last_error().empty());
}

}  // namespace
}  // namespace korvan
