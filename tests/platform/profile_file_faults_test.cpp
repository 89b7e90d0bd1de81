// Korvan.ini written and read while the disk fills up, calls fail and
// signals interrupt them: a failed replace keeps the old file whole and
// leaves nothing beside it.
#include "platform/profile_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

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

std::size_t FilesIn(const std::filesystem::path& dir) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

// An old file and the content meant to replace it; the new one carries bytes
// a text-only path could mangle.
class ProfileFileUnderFaults : public ::testing::Test {
 protected:
  ProfileFileUnderFaults() : path_(dir_.path() / "Korvan.ini"), file_(path_, calls_) {
    std::ofstream(path_, std::ios::binary) << kOld;
    using namespace std::string_literals;
    for (int i = 0; i < 40; ++i) fresh_ += "[Port"s + std::to_string(i) + "]\nPassEL_Text=s\xe9\x63r\x00t\r\n"s;
  }

  void ExpectUntouched(const std::string& error, const char* reason) {
    EXPECT_NE(error.find(path_.string()), std::string::npos) << error;
    EXPECT_NE(error.find(reason), std::string::npos) << error;
    EXPECT_EQ(test::ReadFileText(path_), kOld);
    EXPECT_EQ(FilesIn(dir_.path()), 1u) << "a temporary file was left behind";
  }

  static constexpr const char* kOld = "[Config]\nServer=old.example\nPort=8080\n";
  test::TempDir dir_;
  FaultInjectingSystemCalls calls_;
  std::filesystem::path path_;
  ProfileFile file_;
  std::string fresh_;
};

TEST_F(ProfileFileUnderFaults, AFullDiskAtEveryBudgetKeepsTheOldFile) {
  for (std::size_t budget = 0; budget < fresh_.size(); ++budget) {
    SCOPED_TRACE(budget);
    const auto disk = calls_.FillDisk(Scope::Under(dir_.path()), budget);
    std::string error;
    EXPECT_FALSE(file_.Replace(fresh_, &error));
    ExpectUntouched(error, "No space left on device");
    EXPECT_GE(calls_.Hits(disk), 1u);
    calls_.Remove(disk);
    if (HasFailure()) return;
  }
  // With exactly enough room the new content goes in.
  calls_.FillDisk(Scope::Under(dir_.path()), fresh_.size());
  std::string error;
  EXPECT_TRUE(file_.Replace(fresh_, &error)) << error;
  EXPECT_EQ(test::ReadFileText(path_), fresh_);
}

TEST_F(ProfileFileUnderFaults, AFullDiskMidWayThroughShortWritesKeepsTheOldFile) {
  calls_.LimitTransfers(Call::kWrite, 13);
  calls_.Interrupt(CallSet::Interruptible(), 3);
  for (std::size_t budget = 0; budget < fresh_.size(); budget += 11) {
    SCOPED_TRACE(budget);
    const auto disk = calls_.FillDisk(Scope::Under(dir_.path()), budget);
    std::string error;
    EXPECT_FALSE(file_.Replace(fresh_, &error));
    ExpectUntouched(error, "No space left on device");
    calls_.Remove(disk);
    if (HasFailure()) return;
  }
}

TEST_F(ProfileFileUnderFaults, EachFailingStepKeepsTheOldFile) {
  const struct {
    Call call;
    int error;
    const char* step;
  } cases[] = {
      {Call::kMkostemp, ENOSPC, "cannot create a temporary file"},
      {Call::kMkostemp, EACCES, "cannot create a temporary file"},
      {Call::kWrite, EIO, "write failed"},
      {Call::kFchmod, EPERM, "chmod failed"},
      // Delayed allocation: the blocks are found missing only at fsync.
      {Call::kFsync, ENOSPC, "fsync failed"},
      {Call::kFsync, EIO, "fsync failed"},
      {Call::kRename, ENOSPC, "rename failed"},
      {Call::kRename, EXDEV, "rename failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.step + std::string(" / ") + std::strerror(c.error));
    const auto failure = calls_.Fail(c.call, c.error, Scope::Under(dir_.path()), 1);
    std::string error;
    EXPECT_FALSE(file_.Replace(fresh_, &error));
    ExpectUntouched(error, c.step);
    ExpectUntouched(error, std::strerror(c.error));
    EXPECT_EQ(calls_.Hits(failure), 1u);
  }
}

TEST_F(ProfileFileUnderFaults, ShortWritesAndInterruptedCallsStoreTheWholeContent) {
  const auto limit = calls_.LimitTransfers(CallSet::Transfers(), 5);
  const auto interrupt = calls_.Interrupt(CallSet::Interruptible(), 2);
  std::string error;
  ASSERT_TRUE(file_.Replace(fresh_, &error)) << error;
  EXPECT_EQ(test::ReadFileText(path_), fresh_);
  EXPECT_EQ(FilesIn(dir_.path()), 1u);
  struct stat info {};
  ASSERT_EQ(::stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  // The file's and the folder's fsync were each interrupted once, and so
  // was the folder's open.
  EXPECT_EQ(calls_.Hits(interrupt, Call::kFsync), 2u);
  EXPECT_EQ(calls_.Hits(interrupt, Call::kOpen), 1u);
  EXPECT_GT(calls_.Hits(interrupt, Call::kWrite), 100u);

  const ProfileLoad load = file_.Load();
  ASSERT_EQ(load.status, ProfileLoad::Status::kOk) << load.error;
  EXPECT_EQ(load.bytes, fresh_);
  EXPECT_GT(calls_.Hits(limit, Call::kRead), 100u);
  EXPECT_GT(calls_.Hits(interrupt, Call::kRead), 100u);
}

TEST_F(ProfileFileUnderFaults, AFailedLoadNamesTheFileAndGivesNoBytes) {
  calls_.LimitTransfers(Call::kRead, 4);
  calls_.Fail(Call::kRead, EIO, Scope::Under(dir_.path()));
  const ProfileLoad load = file_.Load();
  EXPECT_EQ(load.status, ProfileLoad::Status::kError);
  EXPECT_NE(load.error.find(path_.string()), std::string::npos);
  EXPECT_NE(load.error.find(std::strerror(EIO)), std::string::npos);
  EXPECT_TRUE(load.bytes.empty());
}

}  // namespace
}  // namespace korvan
