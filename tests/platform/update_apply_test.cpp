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

TEST(UpdaterArguments, ProbationInSecondsAndBounded) {
  std::string error;
  auto options = ParseUpdaterArguments({}, &error);
  ASSERT_TRUE(options);
  EXPECT_EQ(options->probation, 5s);
  options = ParseUpdaterArguments({"--PROBATION", "0"}, &error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->probation, 0s);
  EXPECT_FALSE(ParseUpdaterArguments({"--probation", "-1"}, &error));
  // Would overflow the milliseconds.
  EXPECT_FALSE(ParseUpdaterArguments({"--probation", "99999999999999999"}, &error));
  EXPECT_NE(error.find("--probation"), std::string::npos) << error;
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

// The restart's decision: roll back only what the new version is to blame
// for, and start the previous version once, never more.
class RestartOrRollBackTest : public UpdateApplyTest {
 protected:
  RestartOrRollBackTest() {
    Write(app() / "korvan", "old program");
    Write(update() / "korvan", "new program");
    applied_ = ApplyUpdateFolder(app());
  }
  // Each start notes the program it found and reports `kind`.
  bool Restart(const ApplyResult& applied, StartResult::Kind kind) {
    return RestartOrRollBack(
        app(), applied,
        [&] {
          started_.push_back(test::ReadFileText(app() / "korvan"));
          return StartResult{kind, "it did so"};
        },
        out_, err_);
  }
  ApplyResult applied_;
  std::vector<std::string> started_;
  std::ostringstream out_, err_;
};

TEST_F(RestartOrRollBackTest, AFailureRollsBackAndThePreviousVersionIsStartedOnce) {
  // The previous version fails too: reported, not retried.
  EXPECT_FALSE(Restart(applied_, StartResult::Kind::kFailed));
  EXPECT_EQ(started_, (std::vector<std::string>{"new program", "old program"}));
  EXPECT_NE(err_.str().find("start it by hand"), std::string::npos) << err_.str();
}

TEST_F(RestartOrRollBackTest, OnlyAFailureOfTheNewVersionRollsBack) {
  EXPECT_TRUE(Restart(applied_, StartResult::Kind::kStarted));
  // No systemctl here: the update is not at fault.
  EXPECT_FALSE(Restart(applied_, StartResult::Kind::kUnavailable));
  // A run that applied nothing has no previous version to go back to.
  EXPECT_FALSE(Restart(ApplyResult{}, StartResult::Kind::kFailed));
  EXPECT_EQ(started_, (std::vector<std::string>(3, "new program")));
  EXPECT_NE(err_.str().find("nothing to roll back"), std::string::npos) << err_.str();
}

TEST_F(UpdateApplyTest, AClientEndingAtOnceFailedUnlessItsStatusIsZero) {
  const auto client = [&](const std::string& body) {
    Write(app() / "korvan", "#!/bin/sh\n" + body);
    fs::permissions(app() / "korvan", fs::perms::owner_all);
    return StartClientWatched(app(), 5s);
  };
  StartResult result = client("exit 3\n");
  EXPECT_EQ(result.kind, StartResult::Kind::kFailed);
  EXPECT_NE(result.message.find((app() / "korvan").string() + " ended with exit status 3"), std::string::npos)
      << result.message;
  result = client("kill -SEGV $$\n");
  EXPECT_EQ(result.kind, StartResult::Kind::kFailed);
  EXPECT_NE(result.message.find("signal " + std::to_string(SIGSEGV)), std::string::npos) << result.message;

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client("exit 0\n").kind, StartResult::Kind::kStarted);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << "an ended client is not watched to the end";
}

// The service's start, with systemctl answering from a list of states (the
// last one repeats).
StartResult StartService(int start_status, std::vector<ServiceState> states, std::chrono::milliseconds probation,
                         std::size_t* asked) {
  *asked = 0;
  const auto state = [&] { return states.empty() ? ServiceState{} : states[std::min((*asked)++, states.size() - 1)]; };
  const ServiceControl control{[&](std::string*) { return start_status; }, state};
  return StartServiceWatched(control, probation, 5ms);
}

TEST(StartServiceWatched, AFailureOrAnAutomaticRestartInTheProbationIsAFailure) {
  std::size_t asked = 0;
  const StartResult result =
      StartService(0, {{"activating", "start"}, {"active", "running"}, {"activating", "auto-restart"}}, 5s, &asked);
  EXPECT_EQ(result.kind, StartResult::Kind::kFailed);
  EXPECT_EQ(asked, 3u);
  EXPECT_NE(result.message.find("the service korvan failed"), std::string::npos) << result.message;
  EXPECT_EQ(StartService(0, {{"failed", "failed"}}, 5s, &asked).kind, StartResult::Kind::kFailed);
  EXPECT_EQ(StartService(1, {}, 5s, &asked).kind, StartResult::Kind::kFailed);
  EXPECT_EQ(StartService(-1, {}, 5s, &asked).kind, StartResult::Kind::kUnavailable) << "no systemctl";
}

TEST(StartServiceWatched, ARunningOrUnknownServiceHasStartedAfterTheProbation) {
  std::size_t asked = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(StartService(0, {{"activating", "start"}, {"active", "running"}}, 300ms, &asked).kind,
            StartResult::Kind::kStarted);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
  EXPECT_GT(asked, 3u) << "asked all along the probation";
  EXPECT_EQ(StartService(0, {}, 50ms, &asked).kind, StartResult::Kind::kStarted) << "systemctl show said nothing";
  EXPECT_EQ(StartService(0, {{"failed", "failed"}}, 0ms, &asked).kind, StartResult::Kind::kStarted) << "unwatched";
  EXPECT_EQ(asked, 0u);
}

}  // namespace
}  // namespace korvan
