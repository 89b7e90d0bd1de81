// The fault layer itself: faults stay within their scope, a disk budget holds
// when many threads write at once, and a rule on a descriptor ends with it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/fd_io.h"
#include "platform/locked_log_file.h"
#include "platform/profile_file.h"
#include "tests/platform/temp_dir.h"
#include "tests/support/test_paths.h"
#include "tests/support/fault_injecting_system_calls.h"

namespace korvan {
namespace {

using test::Call;
using test::CallSet;
using test::FaultInjectingSystemCalls;
using test::Scope;

// Korvan.ini and korvan.log in folders of their own, both through one layer.
class FolderScopes : public ::testing::Test {
 protected:
  FolderScopes() {
    std::filesystem::create_directories(config_);
    std::filesystem::create_directories(app_);
    std::string error;
    log_ = LockedLogFile::Open(app_ / "korvan.log", &error, calls_);
    EXPECT_TRUE(log_) << error;
  }

  test::TempDir dir_;
  FaultInjectingSystemCalls calls_;
  std::filesystem::path config_ = dir_.path() / "config";
  // A name that shares the first letters of the other folder's: a scope
  // compares whole path components, not text.
  std::filesystem::path app_ = dir_.path() / "config-app";
  ProfileFile profile_{config_ / "Korvan.ini", calls_};
  std::unique_ptr<LockedLogFile> log_;
};

TEST_F(FolderScopes, AFullConfigurationDiskLeavesTheLogWorking) {
  ASSERT_TRUE(log_);
  const auto disk = calls_.FillDisk(Scope::Under(config_), 0);
  std::string error;
  EXPECT_FALSE(profile_.Replace("[Config]\n", &error));
  EXPECT_NE(error.find("No space left on device"), std::string::npos);
  EXPECT_TRUE(log_->Append("the log still takes lines\r\n")) << log_->last_error();
  EXPECT_EQ(calls_.Hits(disk), 1u);
}

TEST_F(FolderScopes, AFullLogDiskLeavesTheConfigurationWorking) {
  ASSERT_TRUE(log_);
  const auto disk = calls_.FillDisk(Scope::Under(app_), 0);
  const auto fsync = calls_.Fail(Call::kFsync, EIO, Scope::Under(app_));
  EXPECT_FALSE(log_->Append("no room\r\n"));
  std::string error;
  EXPECT_TRUE(profile_.Replace("[Config]\nPort=1\n", &error)) << error;
  EXPECT_EQ(test::ReadFileText(config_ / "Korvan.ini"), "[Config]\nPort=1\n");
  EXPECT_EQ(calls_.Hits(disk), 1u);
  EXPECT_EQ(calls_.Hits(fsync), 0u);
}

TEST(DiskBudget, ThreadsWritingAtOnceNeverSpendMoreThanIsThere) {
  test::TempDir dir;
  FaultInjectingSystemCalls calls;
  constexpr std::size_t kBudget = 123457;
  calls.FillDisk(Scope::Under(dir.path()), kBudget);
  calls.LimitTransfers(Call::kWrite, 61);
  std::vector<std::thread> writers;
  for (int t = 0; t < 8; ++t) {
    writers.emplace_back([&, t] {
      const auto path = dir.path() / ("w" + std::to_string(t));
      UniqueFd fd(calls.Open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600), calls);
      const std::string block(100, static_cast<char>('a' + t));
      while (WriteAll(fd.get(), block, calls)) {
      }
      EXPECT_EQ(errno, ENOSPC);
    });
  }
  for (auto& w : writers) w.join();
  std::size_t total = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) total += entry.file_size();
  EXPECT_EQ(total, kBudget);
}

TEST(DescriptorScope, EndsWhenTheDescriptorIsClosedSoItsNumberCanBeReused) {
  test::TempDir dir;
  FaultInjectingSystemCalls calls;
  const auto path = dir.path() / "f";
  std::ofstream(path) << "x";
  UniqueFd first(calls.Open(path.c_str(), O_RDONLY | O_CLOEXEC, 0), calls);
  const int number = first.get();
  const auto failure = calls.Fail(Call::kFstat, EIO, Scope::Descriptor(number));
  struct stat info {};
  EXPECT_NE(calls.Fstat(number, &info), 0);
  first.reset();
  UniqueFd second(calls.Open(path.c_str(), O_RDONLY | O_CLOEXEC, 0), calls);
  ASSERT_EQ(second.get(), number) << "the kernel hands out the lowest free number";
  EXPECT_EQ(calls.Fstat(second.get(), &info), 0);
  EXPECT_EQ(calls.Hits(failure), 1u);
}

TEST(FaultRules, FaultsTheKernelCannotProduceAreRefused) {
  FaultInjectingSystemCalls calls;
  EXPECT_THROW(calls.Interrupt(Call::kRename, 1), std::invalid_argument);
  EXPECT_THROW(calls.Interrupt(Call::kClose, 1), std::invalid_argument);
  EXPECT_THROW(calls.Interrupt(Call::kRead, 0), std::invalid_argument);
  EXPECT_THROW(calls.LimitTransfers(Call::kFsync, 10), std::invalid_argument);
  EXPECT_THROW(calls.LimitTransfers(Call::kRead, 0), std::invalid_argument);
  EXPECT_THROW(calls.Fail(Call::kRead, 0), std::invalid_argument);
  EXPECT_EQ(calls.Injected(), 0u);
}

TEST(FaultRules, ARemovedRuleStopsButKeepsItsCount) {
  test::TempDir dir;
  FaultInjectingSystemCalls calls;
  const auto failure = calls.Fail(Call::kUnlink, EBUSY, Scope::Under(dir.path()));
  const auto path = dir.path() / "f";
  std::ofstream(path) << "x";
  errno = 0;
  EXPECT_NE(calls.Unlink(path.c_str()), 0);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_TRUE(std::filesystem::exists(path));
  calls.Remove(failure);
  EXPECT_EQ(calls.Unlink(path.c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(calls.Hits(failure), 1u);
  EXPECT_EQ(calls.Seen(Call::kUnlink), 2u);
}

}  // namespace
}  // namespace korvan
