// korvan.log through a full disk, short writes, interrupted calls and
// failing opens: appends are whole or absent, and the log recovers.
#include "platform/locked_log_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "tests/platform/temp_dir.h"
#include "tests/support/test_paths.h"
#include "tests/support/fault_injecting_system_calls.h"

namespace korvan {
namespace {

using test::Call;
using test::CallSet;
using test::FaultInjectingSystemCalls;
using test::Scope;

class LockedLogFileUnderFaults : public ::testing::Test {
 protected:
  std::unique_ptr<LockedLogFile> OpenLog() {
    std::string error;
    auto log = LockedLogFile::Open(path_, &error, calls_);
    EXPECT_TRUE(log) << error;
    return log;
  }

  test::TempDir dir_;
  FaultInjectingSystemCalls calls_;
  std::filesystem::path path_ = dir_.path() / "korvan.log";
};

TEST_F(LockedLogFileUnderFaults, AFullDiskRefusesAppendsUntilSpaceReturns) {
  auto log = OpenLog();
  ASSERT_TRUE(log);
  ASSERT_TRUE(log->Append("before\r\n"));
  const auto disk = calls_.FillDisk(Scope::Under(dir_.path()), 5);
  errno = 0;
  EXPECT_FALSE(log->Append("does not fit\r\n"));
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(log->last_error(), path_.string() + ": No space left on device");
  // The five bytes that fitted are cut off again: no half line.
  EXPECT_EQ(test::ReadFileText(path_), "before\r\n");
  EXPECT_FALSE(log->Append("still full\r\n"));
  EXPECT_EQ(calls_.Hits(disk), 3u);  // cut short, refused, refused

  calls_.Remove(disk);
  ASSERT_TRUE(log->Append("after\r\n"));
  EXPECT_TRUE(log->last_error().empty());
  EXPECT_EQ(test::ReadFileText(path_), "before\r\nafter\r\n");
}

TEST_F(LockedLogFileUnderFaults, AnAppendIsWholeOrAbsentAtEveryBudget) {
  auto log = OpenLog();
  ASSERT_TRUE(log);
  calls_.LimitTransfers(Call::kWrite, 3);
  const std::string line = "12:00:00 connection from 127.0.0.1 closed\r\n";
  std::string expected;
  for (std::size_t budget = 0; budget <= line.size(); ++budget) {
    SCOPED_TRACE(budget);
    const auto disk = calls_.FillDisk(Scope::Under(dir_.path()), budget);
    const bool fits = budget == line.size();
    EXPECT_EQ(log->Append(line), fits);
    if (fits) expected += line;
    EXPECT_EQ(test::ReadFileText(path_), expected);
    calls_.Remove(disk);
  }
}

TEST_F(LockedLogFileUnderFaults, ShortWritesAndInterruptionsKeepEveryLineInOrder) {
  std::ofstream(path_, std::ios::binary) << "old\r\n";
  const auto limit = calls_.LimitTransfers(CallSet::Transfers(), 4);
  const auto interrupt = calls_.Interrupt(CallSet::Interruptible(), 2);
  auto log = OpenLog();
  ASSERT_TRUE(log);
  EXPECT_EQ(log->initial_content(), "old\r\n");
  EXPECT_EQ(calls_.Hits(interrupt, Call::kOpen), 1u);
  EXPECT_EQ(calls_.Hits(interrupt, Call::kFlock), 1u);

  std::string expected = "old\r\n";
  for (int i = 0; i < 200; ++i) {
    const std::string line = "line " + std::to_string(i) + "\r\n";
    ASSERT_TRUE(log->Append(line)) << log->last_error();
    expected += line;
  }
  EXPECT_EQ(test::ReadFileText(path_), expected);
  EXPECT_GT(calls_.Hits(limit, Call::kWrite), 200u);

  ASSERT_TRUE(log->Truncate()) << log->last_error();
  EXPECT_GE(calls_.Hits(interrupt, Call::kFtruncate), 1u);
  ASSERT_TRUE(log->Append("fresh\r\n"));
  EXPECT_EQ(test::ReadFileText(path_), "fresh\r\n");
}

TEST_F(LockedLogFileUnderFaults, AFailedTruncateIsToldAndTheLogGoesOn) {
  auto log = OpenLog();
  ASSERT_TRUE(log);
  ASSERT_TRUE(log->Append("kept\r\n"));
  calls_.Fail(Call::kFtruncate, EIO, Scope::Under(dir_.path()), 1);
  errno = 0;
  EXPECT_FALSE(log->Truncate());
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(log->last_error(), path_.string() + ": " + std::strerror(EIO));
  ASSERT_TRUE(log->Append("more\r\n"));
  EXPECT_EQ(test::ReadFileText(path_), "kept\r\nmore\r\n");
}

TEST_F(LockedLogFileUnderFaults, OpeningFailuresNameTheFileAndTheCause) {
  std::ofstream(path_, std::ios::binary) << "old\r\n";
  const struct {
    Call call;
    int error;
    std::string said;
  } cases[] = {
      {Call::kOpen, EACCES, std::strerror(EACCES)},
      {Call::kFlock, EWOULDBLOCK, "in use by another process"},
      {Call::kFlock, ENOLCK, std::strerror(ENOLCK)},
      {Call::kFstat, EIO, std::strerror(EIO)},
      {Call::kLseek, EIO, std::strerror(EIO)},
      {Call::kRead, EIO, std::strerror(EIO)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.said);
    const auto failure = calls_.Fail(c.call, c.error, Scope::Under(dir_.path()), 1);
    std::string error;
    EXPECT_EQ(LockedLogFile::Open(path_, &error, calls_), nullptr);
    EXPECT_EQ(error, path_.string() + ": " + c.said);
    EXPECT_EQ(calls_.Hits(failure), 1u);
    // Nothing of the old log was lost on the way.
    EXPECT_EQ(test::ReadFileText(path_), "old\r\n");
  }
  EXPECT_TRUE(OpenLog());
}

}  // namespace
}  // namespace korvan
