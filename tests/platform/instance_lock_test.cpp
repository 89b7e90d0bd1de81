// One window mode per user: the lock is exclusive, leaves a second start's
// files alone, goes with its holder, and never trusts a shared folder.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>

#include "platform/instance_lock.h"
#include "tests/platform/temp_dir.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;

TEST(InstanceLock, SecondHolderIsRefusedUntilTheFirstGoes) {
  test::TempDir dir;
  const fs::path path = dir.path() / "korvan-test.lock";
  auto first = std::make_unique<InstanceLock>(path);
  ASSERT_EQ(first->state(), InstanceLock::State::kHeld) << first->error();
  const auto before = fs::last_write_time(path);

  InstanceLock second(path);
  EXPECT_EQ(second.state(), InstanceLock::State::kTakenByAnother);
  EXPECT_EQ(fs::last_write_time(path), before);
  EXPECT_EQ(fs::file_size(path), 0U);

  first.reset();
  InstanceLock third(path);
  EXPECT_EQ(third.state(), InstanceLock::State::kHeld);
}

TEST(InstanceLock, LockFollowsTheRuntimeFolderElseAPrivateTemporaryFolder) {
  const std::string uid = std::to_string(::getuid());
  std::map<std::string, const char*> env{{"XDG_RUNTIME_DIR", "/run/user/7"}};
  auto getenv = [&](const char* name) -> const char* {
    const auto it = env.find(name);
    return it == env.end() ? nullptr : it->second;
  };
  EXPECT_EQ(InstanceLockPath(getenv).file, fs::path("/run/user/7") / ("korvan-" + uid + ".lock"));
  env.clear();
  EXPECT_EQ(InstanceLockPath(getenv).file, fs::path("/tmp") / ("korvan-" + uid) / "korvan.lock");
  EXPECT_TRUE(InstanceLockPath(getenv).private_folder);
  env["XDG_RUNTIME_DIR"] = "relative";  // not a usable runtime folder
  env["TMPDIR"] = "/var/tmp";
  EXPECT_EQ(InstanceLockPath(getenv).file, fs::path("/var/tmp") / ("korvan-" + uid) / "korvan.lock");
}

TEST(InstanceLock, FallbackFolderIsCreatedPrivateAndRefusedWhenOthersMayEnter) {
  test::TempDir dir;
  const fs::path folder = dir.path() / "korvan-fallback";
  {
    InstanceLock lock(folder / "korvan.lock", true);
    ASSERT_EQ(lock.state(), InstanceLock::State::kHeld) << lock.error();
  }
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700U);

  ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
  InstanceLock open_folder(folder / "korvan.lock", true);
  EXPECT_EQ(open_folder.state(), InstanceLock::State::kFailed);
  EXPECT_NE(open_folder.error().find("not a private folder"), std::string::npos);

  // A link planted where the folder should be is not followed.
  const fs::path planted = dir.path() / "korvan-planted";
  fs::create_directory_symlink(dir.path(), planted);
  InstanceLock linked(planted / "korvan.lock", true);
  EXPECT_EQ(linked.state(), InstanceLock::State::kFailed);
}

TEST(InstanceLock, UnwritableFolderFailsWithAReason) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write anywhere: test skipped";
  test::TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0500), 0);
  InstanceLock lock(dir.path() / "korvan-x.lock");
  EXPECT_EQ(lock.state(), InstanceLock::State::kFailed);
  EXPECT_NE(lock.error().find("cannot open"), std::string::npos);
  ::chmod(dir.path().c_str(), 0700);
}

}  // namespace
}  // namespace korvan
