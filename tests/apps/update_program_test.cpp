// korvan-update as the client starts it: in a scratch program folder with
// a stand-in script as the client, it waits for the client's process to
// end, applies Update/ and with "/R" starts the client again.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/platform/temp_dir.h"
#include "tests/support/child_process.h"
#include "tests/support/test_paths.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

void Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

bool WaitForFile(const fs::path& path, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!fs::exists(path)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

class UpdateProgramTest : public ::testing::Test {
 protected:
  UpdateProgramTest() {
    // The stand-in client notes its arguments and ends.
    Write(app() / "korvan", "#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/restarted.tmp\"\n"
                            "mv \"$(dirname \"$0\")/restarted.tmp\" \"$(dirname \"$0\")/restarted\"\n");
    fs::permissions(app() / "korvan", fs::perms::owner_all);
  }
  const fs::path& app() const { return dir_.path(); }
  fs::path program() const { return test::BinDir() / "korvan-update"; }

  int Run(const std::vector<std::string>& args, std::string* output) {
    test::ChildProcess child(program(), args, app() / "output.txt");
    const int status = child.Wait(40s);
    *output = child.Output();
    return status;
  }

  test::TempDir dir_;
};

TEST_F(UpdateProgramTest, WaitsForTheClientAppliesAndRestarts) {
  Write(app() / "en.kvl", "old");
  Write(app() / "Update" / "en.kvl", "new");
  // The client still runs for a moment after starting the updater.
  const pid_t client = ::fork();
  ASSERT_GE(client, 0);
  if (client == 0) {
    ::usleep(500000);
    ::_exit(0);
  }
  std::thread reaper([client] { ::waitpid(client, nullptr, 0); });

  std::string output;
  const auto start = std::chrono::steady_clock::now();
  const int status = Run({"/R", "--pid", std::to_string(client), "--app-dir", app().string()}, &output);
  reaper.join();
  EXPECT_EQ(status, 0) << output;
  EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms) << "it did not wait for the client";
  EXPECT_EQ(test::ReadFileText(app() / "en.kvl"), "new");
  EXPECT_EQ(test::ReadFileText(app() / "Backup" / "en.kvl"), "old");
  ASSERT_TRUE(WaitForFile(app() / "restarted", 5s)) << output;
  EXPECT_EQ(test::ReadFileText(app() / "restarted"), "--app-dir " + app().string() + "\n");
}

TEST_F(UpdateProgramTest, WithoutASwitchItOnlyApplies) {
  Write(app() / "Update" / "de.kvl", "german");
  std::string output;
  EXPECT_EQ(Run({"--app-dir", app().string()}, &output), 0) << output;
  EXPECT_EQ(test::ReadFileText(app() / "de.kvl"), "german");
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(fs::exists(app() / "restarted"));
}

TEST_F(UpdateProgramTest, GivesUpOnAClientThatDoesNotEnd) {
  Write(app() / "en.kvl", "old");
  Write(app() / "Update" / "en.kvl", "new");
  const pid_t client = ::fork();
  ASSERT_GE(client, 0);
  if (client == 0) {
    ::pause();
    ::_exit(0);
  }
  std::string output;
  const int status =
      Run({"/R", "--pid", std::to_string(client), "--wait-seconds", "1", "--app-dir", app().string()}, &output);
  ::kill(client, SIGKILL);
  ::waitpid(client, nullptr, 0);
  EXPECT_EQ(status, 1);
  EXPECT_NE(output.find("is still running after 1 s; nothing was applied"), std::string::npos) << output;
  EXPECT_EQ(test::ReadFileText(app() / "en.kvl"), "old");
  EXPECT_FALSE(fs::exists(app() / "restarted"));
}

TEST_F(UpdateProgramTest, AFailedApplyIsReportedButTheRestartStillHappens) {
  Write(app() / "en.kvl", "old");
  fs::permissions(app() / "en.kvl", fs::perms::owner_read);
  Write(app() / "Update" / "en.kvl", "new");
  std::string output;
  EXPECT_EQ(Run({"/r", "--app-dir", app().string()}, &output), 1);
  EXPECT_NE(output.find("en.kvl is read-only"), std::string::npos) << output;
  EXPECT_EQ(test::ReadFileText(app() / "en.kvl"), "old");
  EXPECT_TRUE(WaitForFile(app() / "restarted", 5s)) << "the old files are whole, so the client comes back";
}

TEST_F(UpdateProgramTest, ServiceRestartWithoutSystemctlSaysSo) {
  std::string output;
  // A PATH without systemctl.
  const char* old_path = std::getenv("PATH");
  const std::string saved = old_path != nullptr ? old_path : "";
  ::setenv("PATH", app().c_str(), 1);
  const int status = Run({"/RS", "--app-dir", app().string()}, &output);
  ::setenv("PATH", saved.c_str(), 1);
  EXPECT_EQ(status, 1);
  EXPECT_NE(output.find("systemctl was not found"), std::string::npos) << output;

  // A stand-in systemctl that notes what it was asked.
  Write(app() / "systemctl", "#!/bin/sh\necho \"$@\" >> \"$(dirname \"$0\")/asked\"\n");
  fs::permissions(app() / "systemctl", fs::perms::owner_all);
  ::setenv("PATH", (app().string() + ":/bin:/usr/bin").c_str(), 1);
  const int started = Run({"/RS", "--probation", "0", "--app-dir", app().string()}, &output);
  ::setenv("PATH", saved.c_str(), 1);
  EXPECT_EQ(started, 0) << output;
  EXPECT_EQ(test::ReadFileText(app() / "asked"), "start korvan\n");
}

// A new version that fails at once is taken back; the previous one comes
// back, and what earlier updates left in Backup/ stays as it was.
class RollbackProgramTest : public UpdateProgramTest {
 protected:
  RollbackProgramTest() {
    Write(app() / "en.kvl", old_english_);
    Write(app() / "Backup" / "de.kvl", "german of an earlier update");
    Write(app() / "Backup" / "fr.kvl", "french of an earlier update");
    Write(app() / "Update" / "en.kvl", "new english");
    Write(app() / "Update" / "de.kvl", "german, new in this update");
    old_client_ = test::ReadFileText(app() / "korvan");
  }
  void ExpectRolledBack(const std::string& output) {
    EXPECT_EQ(test::ReadFileText(app() / "korvan"), old_client_) << output;
    EXPECT_EQ(test::ReadFileText(app() / "en.kvl"), old_english_);
    EXPECT_FALSE(fs::exists(app() / "de.kvl")) << output;
    EXPECT_EQ(test::ReadFileText(app() / "Backup" / "de.kvl"), "german of an earlier update");
    EXPECT_EQ(test::ReadFileText(app() / "Backup" / "fr.kvl"), "french of an earlier update");
    EXPECT_NE(output.find("rolled back en.kvl"), std::string::npos) << output;
    EXPECT_NE(output.find("rolled back de.kvl: removed"), std::string::npos) << output;
  }
  const std::string old_english_ = std::string("old\0english\n", 12);
  std::string old_client_;
};

TEST_F(RollbackProgramTest, ANewClientThatFailsAtOnceIsRolledBack) {
  Write(app() / "Update" / "korvan", "#!/bin/sh\nexit 3\n");
  std::string output;
  EXPECT_EQ(Run({"/R", "--probation", "5", "--app-dir", app().string(), "--config-dir", "/home/u/k config"}, &output),
            1);
  EXPECT_NE(output.find((app() / "korvan").string() + " ended with exit status 3"), std::string::npos) << output;
  ExpectRolledBack(output);
  ASSERT_TRUE(WaitForFile(app() / "restarted", 5s)) << "the previous client is started again\n" << output;
  // With the configuration folder the client was started with.
  EXPECT_EQ(test::ReadFileText(app() / "restarted"), "--app-dir " + app().string() + " --config-dir /home/u/k config\n");
}

TEST_F(RollbackProgramTest, ANewClientStillRunningAfterTheProbationStays) {
  // It notes its session and what its standard input holds, then stays.
  Write(app() / "Update" / "korvan",
        "#!/bin/sh\nd=\"$(dirname \"$0\")\"\ncut -d\" \" -f6 /proc/$$/stat > \"$d/sid\"\ncat > \"$d/stdin\"\n"
        "echo $$ > \"$d/pid\"\nexec sleep 30\n");
  std::string output;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run({"/R", "--probation", "1", "--app-dir", app().string()}, &output), 0) << output;
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
  ASSERT_TRUE(WaitForFile(app() / "pid", 1s)) << output;
  const pid_t pid = std::stoi(test::ReadFileText(app() / "pid"));
  EXPECT_EQ(::kill(pid, 0), 0) << "it runs on after korvan-update ended";
  ::kill(pid, SIGKILL);
  EXPECT_EQ(std::stoi(test::ReadFileText(app() / "sid")), pid) << "a session of its own";
  EXPECT_EQ(test::ReadFileText(app() / "stdin"), "") << "standard input is /dev/null, not ours";
  EXPECT_EQ(test::ReadFileText(app() / "en.kvl"), "new english");
  EXPECT_EQ(test::ReadFileText(app() / "de.kvl"), "german, new in this update");
  EXPECT_EQ(test::ReadFileText(app() / "Backup" / "en.kvl"), old_english_);
  EXPECT_FALSE(fs::exists(app() / "restarted"));
}

TEST_F(RollbackProgramTest, AServiceThatFailsIsRolledBackAndStartedAgain) {
  // The stand-in systemctl: the service with the new program keeps failing,
  // as systemd shows a unit waiting to restart it.
  Write(app() / "Update" / "korvan", "#!/bin/sh\n# new\nexit 3\n");
  Write(app() / "systemctl",
        "#!/bin/sh\nd=\"$(dirname \"$0\")\"\necho \"$@\" >> \"$d/asked\"\n"
        "if [ \"$1\" = show ]; then\n"
        "  if grep -q '# new' \"$d/korvan\"; then echo ActiveState=activating; echo SubState=auto-restart;\n"
        "  else echo ActiveState=active; echo SubState=running; fi\n"
        "fi\n");
  fs::permissions(app() / "systemctl", fs::perms::owner_all);
  const char* old_path = std::getenv("PATH");
  const std::string saved = old_path != nullptr ? old_path : "";
  ::setenv("PATH", (app().string() + ":/bin:/usr/bin").c_str(), 1);
  std::string output;
  const int status = Run({"/RS", "--probation", "1", "--app-dir", app().string()}, &output);
  ::setenv("PATH", saved.c_str(), 1);
  EXPECT_EQ(status, 1) << output;
  EXPECT_NE(output.find("the service korvan failed"), std::string::npos) << output;
  ExpectRolledBack(output);
  const std::string asked = test::ReadFileText(app() / "asked");
  EXPECT_EQ(asked.find("start korvan\n"), 0u) << asked;
  EXPECT_NE(asked.find("start korvan\n", 1), std::string::npos) << "started again after the rollback\n" << asked;
  EXPECT_NE(output.find("the previous version: asked systemd"), std::string::npos) << output;
}

TEST_F(UpdateProgramTest, AnUnknownArgumentShowsTheUsage) {
  std::string output;
  EXPECT_EQ(Run({"/X"}, &output), 2);
  EXPECT_NE(output.find("unknown argument \"/X\""), std::string::npos) << output;
  EXPECT_NE(output.find("Backup"), std::string::npos) << "the usage says where backups go";
}

}  // namespace
}  // namespace korvan
