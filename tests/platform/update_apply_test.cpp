// Applying Update/ to a program folder: the files moved in with their
// backups, the targets that must not be replaced, and the wait for the
// client's end.
#include "platform/update_apply.h"

#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "tests/platform/temp_dir.h"
#include "tests/support/test_paths.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

void Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

class UpdateApplyTest : public ::testing::Test {
 protected:
  const fs::path& app() const { return dir_.path(); }
  fs::path update() const { return app() / "Update"; }
  test::TempDir dir_;
};

TEST_F(UpdateApplyTest, MovesEveryFileInAndKeepsWhatItReplaced) {
  Write(app() / "en.kvl", "old english");
  Write(app() / "korvan", "old program");
  fs::permissions(app() / "korvan", fs::perms::owner_all);
  Write(update() / "en.kvl", "new english");
  Write(update() / "korvan", "new program");  // a download: no execute bit
  Write(update() / "de.kvl", "german");       // new, nothing to back up

  const ApplyResult result = ApplyUpdateFolder(app());
  ASSERT_TRUE(result.ok()) << result.errors.front();
  EXPECT_EQ(result.applied, (std::vector<std::string>{"de.kvl", "en.kvl", "korvan"}));
  EXPECT_EQ(test::ReadFileText(app() / "en.kvl"), "new english");
  EXPECT_EQ(test::ReadFileText(app() / "korvan"), "new program");
  EXPECT_EQ(test::ReadFileText(app() / "de.kvl"), "german");
  EXPECT_EQ(test::ReadFileText(app() / "Backup" / "en.kvl"), "old english");
  EXPECT_EQ(test::ReadFileText(app() / "Backup" / "korvan"), "old program");
  EXPECT_FALSE(fs::exists(app() / "Backup" / "de.kvl"));
  EXPECT_TRUE(fs::is_empty(update()));
  EXPECT_NE(fs::status(app() / "korvan").permissions() & fs::perms::owner_exec, fs::perms::none)
      << "the replaced program keeps its execute bit";

  // A second update replaces the older backup.
  Write(update() / "en.kvl", "newer english");
  ASSERT_TRUE(ApplyUpdateFolder(app()).ok());
  EXPECT_EQ(test::ReadFileText(app() / "Backup" / "en.kvl"), "new english");
  EXPECT_EQ(test::ReadFileText(app() / "en.kvl"), "newer english");
}

TEST_F(UpdateApplyTest, NoUpdateFolderOrAnEmptyOneIsNoError) {
  Write(app() / "en.kvl", "english");
  EXPECT_TRUE(ApplyUpdateFolder(app()).ok());
  fs::create_directories(update());
  const ApplyResult result = ApplyUpdateFolder(app());
  EXPECT_TRUE(result.ok());
  EXPECT_TRUE(result.applied.empty());
  EXPECT_EQ(test::ReadFileText(app() / "en.kvl"), "english");
}

TEST_F(UpdateApplyTest, ASubfolderIsLeftInPlace) {
  fs::create_directories(update() / "extra");
  Write(update() / "en.kvl", "new");
  const ApplyResult result = ApplyUpdateFolder(app());
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(result.skipped, std::vector<std::string>{"extra"});
  EXPECT_TRUE(fs::is_directory(update() / "extra"));
}

// A target that must not be replaced stops the whole update before any file
// moves: the old files stay whole and the new ones wait in Update/.
TEST_F(UpdateApplyTest, AReadOnlyTargetAppliesNothing) {
  Write(app() / "a.kvl", "old a");
  Write(app() / "b.kvl", "old b");
  fs::permissions(app() / "b.kvl", fs::perms::owner_read | fs::perms::group_read);
  Write(update() / "a.kvl", "new a");
  Write(update() / "b.kvl", "new b");

  const ApplyResult result = ApplyUpdateFolder(app());
  ASSERT_FALSE(result.ok());
  EXPECT_NE(result.errors.front().find("b.kvl is read-only"), std::string::npos) << result.errors.front();
  EXPECT_EQ(test::ReadFileText(app() / "a.kvl"), "old a");
  EXPECT_EQ(test::ReadFileText(app() / "b.kvl"), "old b");
  EXPECT_EQ(test::ReadFileText(update() / "a.kvl"), "new a");
  EXPECT_EQ(test::ReadFileText(update() / "b.kvl"), "new b");
  EXPECT_FALSE(fs::exists(app() / "Backup" / "a.kvl"));
}

TEST_F(UpdateApplyTest, ALockedTargetIsInUseAndStaysWhole) {
  Write(app() / "korvan.log", "the log of a client still running");
  Write(update() / "korvan.log", "replacement");
  // Another process holds the lock, as a running client holds its log.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    const int fd = ::open((app() / "korvan.log").c_str(), O_RDWR);
    ::flock(fd, LOCK_EX);
    [[maybe_unused]] const auto w = ::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);

  const ApplyResult result = ApplyUpdateFolder(app());
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  ASSERT_FALSE(result.ok());
  EXPECT_NE(result.errors.front().find("in use by another process"), std::string::npos) << result.errors.front();
  EXPECT_EQ(test::ReadFileText(app() / "korvan.log"), "the log of a client still running");
  EXPECT_EQ(test::ReadFileText(update() / "korvan.log"), "replacement");

  // Once the holder has gone, the next run lets the file in.
  EXPECT_TRUE(ApplyUpdateFolder(app()).ok());
  EXPECT_EQ(test::ReadFileText(app() / "korvan.log"), "replacement");
}

TEST_F(UpdateApplyTest, ARunningProgramIsNotReplaced) {
  const fs::path sleeper = app() / "helper";
  fs::copy_file("/bin/sleep", sleeper);
  Write(update() / "helper", "new helper");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::execl(sleeper.c_str(), "helper", "30", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // The file is busy once the exec has happened.
  const fs::path exe = "/proc/" + std::to_string(child) + "/exe";
  for (int i = 0; i < 500; ++i) {
    std::error_code ec;
    if (fs::read_symlink(exe, ec) == sleeper) break;
    std::this_thread::sleep_for(10ms);
  }
  const ApplyResult result = ApplyUpdateFolder(app());
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ASSERT_FALSE(result.ok());
  EXPECT_NE(result.errors.front().find("running program"), std::string::npos) << result.errors.front();
  EXPECT_EQ(fs::file_size(sleeper), fs::file_size("/bin/sleep"));
}

TEST(UpdaterArguments, SwitchesInAnyCase) {
  std::string error;
  auto options = ParseUpdaterArguments({"/r", "--pid", "42", "--app-dir", "somewhere"}, &error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->restart, RestartMode::kWindow);
  EXPECT_EQ(options->wait_pid, 42);
  EXPECT_EQ(options->app_dir, fs::path("somewhere"));
  options = ParseUpdaterArguments({"/RS"}, &error);
  ASSERT_TRUE(options);
  EXPECT_EQ(options->restart, RestartMode::kService);
  EXPECT_FALSE(options->wait_pid);
  options = ParseUpdaterArguments({}, &error);
  ASSERT_TRUE(options);
  EXPECT_EQ(options->restart, RestartMode::kNone);

  EXPECT_FALSE(ParseUpdaterArguments({"/X"}, &error));
  EXPECT_NE(error.find("/X"), std::string::npos);
  EXPECT_FALSE(ParseUpdaterArguments({"--pid", "12x"}, &error));
  EXPECT_FALSE(ParseUpdaterArguments({"--pid"}, &error));
}

TEST(WaitForProcessEnd, SeesTheEndAndGivesUpInTime) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::usleep(200000);
    ::_exit(0);
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(WaitForProcessEnd(child, 50ms)) << "it is still running";
  // Unreaped, the child is a zombie: that counts as ended.
  EXPECT_TRUE(WaitForProcessEnd(child, 5s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  ::waitpid(child, nullptr, 0);
  EXPECT_TRUE(WaitForProcessEnd(child, 0ms));
}

}  // namespace
}  // namespace korvan
