// The descriptor helpers driven through interrupted calls, short transfers,
// a full disk and failed reads.
#include "platform/fd_io.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
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

// Bytes of every value, in an order that shows a dropped or repeated block.
std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  return bytes;
}

UniqueFd OpenForWriting(const std::filesystem::path& path, FaultInjectingSystemCalls& calls) {
  return UniqueFd(calls.Open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600), calls);
}

UniqueFd OpenForReading(const std::filesystem::path& path, FaultInjectingSystemCalls& calls) {
  return UniqueFd(calls.Open(path.c_str(), O_RDONLY | O_CLOEXEC, 0), calls);
}

TEST(WriteAllUnderFaults, ShortWritesAndInterruptionsLoseNothing) {
  test::TempDir dir;
  FaultInjectingSystemCalls calls;
  const auto interrupt = calls.Interrupt(Call::kWrite, 2);
  const auto limit = calls.LimitTransfers(Call::kWrite, 97);
  const std::string bytes = Pattern(100000);
  const auto path = dir.path() / "out.bin";
  {
    UniqueFd fd = OpenForWriting(path, calls);
    ASSERT_TRUE(fd);
    ASSERT_TRUE(WriteAll(fd.get(), bytes, calls));
  }
  EXPECT_EQ(test::ReadFileText(path), bytes);
  // Every write but the last was cut, and every one was first interrupted.
  EXPECT_EQ(calls.Hits(limit), bytes.size() / 97);
  EXPECT_EQ(calls.Hits(interrupt) * 2, calls.Seen(Call::kWrite));
}

TEST(WriteAllUnderFaults, AFullDiskFailsWithEnospcAfterWhatFits) {
  test::TempDir dir;
  FaultInjectingSystemCalls calls;
  const std::string bytes = Pattern(5000);
  for (const std::size_t budget : {std::size_t{0}, std::size_t{1}, std::size_t{4096}, std::size_t{4999}}) {
    SCOPED_TRACE(budget);
    const auto disk = calls.FillDisk(Scope::Under(dir.path()), budget);
    const auto path = dir.path() / "out.bin";
    UniqueFd fd = OpenForWriting(path, calls);
    ASSERT_TRUE(fd);
    errno = 0;
    EXPECT_FALSE(WriteAll(fd.get(), bytes, calls));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(test::ReadFileText(path), bytes.substr(0, budget));
    EXPECT_GE(calls.Hits(disk), 1u);
    calls.Remove(disk);
  }
}

TEST(ReadAllUnderFaults, ShortReadsAndInterruptionsReadEverything) {
  test::TempDir dir;
  const auto path = dir.path() / "in.bin";
  const std::string bytes = Pattern(200000);
  std::ofstream(path, std::ios::binary) << bytes;
  FaultInjectingSystemCalls calls;
  const auto interrupt = calls.Interrupt(Call::kRead, 2);
  const auto limit = calls.LimitTransfers(Call::kRead, 1013);
  UniqueFd fd = OpenForReading(path, calls);
  ASSERT_TRUE(fd);
  std::string out;
  bool too_big = true;
  ASSERT_TRUE(ReadAll(fd.get(), bytes.size(), &out, &too_big, calls));
  EXPECT_FALSE(too_big);
  EXPECT_EQ(out, bytes);
  EXPECT_GT(calls.Hits(limit), 100u);
  EXPECT_GT(calls.Hits(interrupt), 100u);
}

TEST(ReadAllUnderFaults, TheLimitHoldsWhenReadsArriveInPieces) {
  test::TempDir dir;
  FaultInjectingSystemCalls calls;
  calls.LimitTransfers(Call::kRead, 7);
  calls.Interrupt(Call::kRead, 3);
  for (const std::size_t size : {std::size_t{699}, std::size_t{700}, std::size_t{701}}) {
    SCOPED_TRACE(size);
    const auto path = dir.path() / "in.bin";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << Pattern(size);
    UniqueFd fd = OpenForReading(path, calls);
    std::string out;
    bool too_big = false;
    ASSERT_TRUE(ReadAll(fd.get(), 700, &out, &too_big, calls));
    EXPECT_EQ(too_big, size > 700);
    if (!too_big) {
      EXPECT_EQ(out, Pattern(size));
    }
  }
}

TEST(ReadAllUnderFaults, AReadErrorIsReportedWithItsErrno) {
  test::TempDir dir;
  const auto path = dir.path() / "in.bin";
  std::ofstream(path, std::ios::binary) << Pattern(300000);
  FaultInjectingSystemCalls calls;
  UniqueFd fd = OpenForReading(path, calls);
  const auto failure = calls.Fail(Call::kRead, EIO);
  std::string out;
  bool too_big = false;
  errno = 0;
  EXPECT_FALSE(ReadAll(fd.get(), 1 << 20, &out, &too_big, calls));
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(calls.Hits(failure), 1u);
}

TEST(PollForUnderFaults, AnInterruptedWaitStillSeesDataAndStillWaitsItsTime) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
  const UniqueFd read_end(pipe_fds[0]);
  const UniqueFd write_end(pipe_fds[1]);
  FaultInjectingSystemCalls calls;

  const auto interrupt = calls.Interrupt(Call::kPoll, 1, Scope::Anything(), 3);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(PollFor(read_end.get(), POLLIN, 200, calls));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(calls.Hits(interrupt), 3u);
  // A signal is no reason to give up early, nor to start the time again.
  EXPECT_GE(waited, std::chrono::milliseconds(190));
  EXPECT_LT(waited, std::chrono::milliseconds(2000));

  calls.Interrupt(Call::kPoll, 1, Scope::Anything(), 3);
  ASSERT_EQ(::write(write_end.get(), "x", 1), 1);
  EXPECT_TRUE(PollFor(read_end.get(), POLLIN, 5000, calls));
}

TEST(UniqueFdWithCalls, ClosesThroughTheCallsItWasGivenAfterAMove) {
  test::TempDir dir;
  FaultInjectingSystemCalls calls;
  const auto path = dir.path() / "f";
  {
    UniqueFd first = OpenForWriting(path, calls);
    UniqueFd second;
    second = std::move(first);
    UniqueFd third(std::move(second));
    EXPECT_EQ(calls.Seen(Call::kClose), 0u);
    third.reset(calls.Open(path.c_str(), O_RDONLY | O_CLOEXEC, 0));
    EXPECT_EQ(calls.Seen(Call::kClose), 1u);
  }
  EXPECT_EQ(calls.Seen(Call::kClose), 2u);
}

}  // namespace
}  // namespace korvan
