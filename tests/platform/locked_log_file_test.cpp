#include "platform/locked_log_file.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/platform/temp_dir.h"
#include "tests/support/test_paths.h"

namespace korvan {
namespace {

TEST(LockedLogFile, LoadsOldContentAppendsAndTruncates) {
  test::TempDir dir;
  const auto path = dir.path() / "korvan.log";
  {
    std::ofstream(path, std::ios::binary) << "old line\r\n";
  }
  std::string error;
  auto file = LockedLogFile::Open(path, &error);
  ASSERT_TRUE(file) << error;
  EXPECT_EQ(file->initial_content(), "old line\r\n");
  ASSERT_TRUE(file->Append("new\r\n"));
  EXPECT_EQ(test::ReadFileText(path), "old line\r\nnew\r\n");
  ASSERT_TRUE(file->Truncate());
  ASSERT_TRUE(file->Append("after clear\r\n"));
  EXPECT_EQ(test::ReadFileText(path), "after clear\r\n");
}

TEST(LockedLogFile, ASecondHolderIsRefusedUntilTheFirstCloses) {
  test::TempDir dir;
  const auto path = dir.path() / "korvan.log";
  std::string error;
  auto first = LockedLogFile::Open(path, &error);
  ASSERT_TRUE(first) << error;
  EXPECT_EQ(LockedLogFile::Open(path, &error), nullptr);
  EXPECT_NE(error.find("in use"), std::string::npos);
  first.reset();
  EXPECT_NE(LockedLogFile::Open(path, &error), nullptr);
}

TEST(LockedLogFile, ALargeLogShowsItsLastWholeLines) {
  test::TempDir dir;
  const auto path = dir.path() / "korvan.log";
  {
    std::ofstream out(path, std::ios::binary);
    const std::string line(99, 'x');
    for (std::size_t i = 0; i < LockedLogFile::kMaxLoaded / 100 + 10; ++i) out << line << '\n';
    out << "last\r\n";
  }
  std::string error;
  auto file = LockedLogFile::Open(path, &error);
  ASSERT_TRUE(file) << error;
  const std::string& content = file->initial_content();
  EXPECT_LE(content.size(), LockedLogFile::kMaxLoaded);
  EXPECT_EQ(content.front(), 'x');
  EXPECT_EQ(content.find('\n'), 99u);
  EXPECT_EQ(content.substr(content.size() - 6), "last\r\n");
}

}  // namespace
}  // namespace korvan
