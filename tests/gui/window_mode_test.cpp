// `korvan` in window mode as a user starts it: the real program, its own
// folders, Qt offscreen. No display, a damaged word list, no language file,
// an orderly end on SIGTERM, a second start, and service mode free of Qt.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <fstream>
#include <map>
#include <thread>

#include "tests/gui/gui_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/test_paths.h"

namespace korvan {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Every file below `root` with its size and time of last change.
std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> Snapshot(const fs::path& root) {
  std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[entry.path().string()] = {entry.file_size(), entry.last_write_time()};
  }
  return files;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 15s) {
  for (auto deadline = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < deadline;) {
    if (done()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return done();
}

bool MapsQt(pid_t pid) { return test::ReadFileText("/proc/" + std::to_string(pid) + "/maps").find("libQt6") != std::string::npos; }

class WindowMode : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = test::FreeLoopbackPort();
    std::ofstream ini(folders_.config() / "Korvan.ini", std::ios::binary);
    ini << "[Config]\r\nLanguage=en.kvl\r\n[Setup]\r\nSocketCount=1\r\n[Socket1]\r\nLPort=" << port_
        << "\r\nProtocol=0\r\n";
  }

  std::unique_ptr<test::ChildProcess> Start(const std::string& output, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = std::move(extra);
    for (const std::string& a : {std::string("--config-dir"), folders_.config().string(), std::string("--app-dir"),
                                 folders_.app().string()}) {
      args.push_back(a);
    }
    return std::make_unique<test::ChildProcess>(test::BinDir() / "korvan", args, folders_.root() / output);
  }

  // Running once the log has its start line.
  bool Started() const { return !test::ReadFileText(folders_.app() / "korvan.log").empty(); }

  test::WindowFolders folders_;
  test::ScopedEnv env_{{"QT_QPA_PLATFORM", "offscreen"},
                       {"XDG_RUNTIME_DIR", folders_.runtime().string()},
                       {"XDG_CONFIG_HOME", folders_.root().string()}};
  int port_ = 0;
};

TEST_F(WindowMode, WithoutADisplayItSaysSoAndEndsWithStatus1) {
  const test::ScopedEnv no_display{{"QT_QPA_PLATFORM", std::nullopt},
                                   {"DISPLAY", std::nullopt},
                                   {"WAYLAND_DISPLAY", std::nullopt}};
  fs::remove(folders_.config() / "Korvan.ini");
  auto korvan = Start("out.txt");
  EXPECT_EQ(korvan->Wait(), 1) << korvan->Output();
  EXPECT_NE(korvan->Output().find("display"), std::string::npos) << korvan->Output();
  EXPECT_FALSE(fs::exists(folders_.config() / "Korvan.ini"));
}

TEST_F(WindowMode, DisplayThatCannotBeOpenedEndsWithStatus1InsteadOfAnAbort) {
  const test::ScopedEnv bad_display{{"QT_QPA_PLATFORM", std::nullopt},
                                    {"DISPLAY", ":93"},
                                    {"WAYLAND_DISPLAY", std::nullopt}};
  auto korvan = Start("out.txt");
  EXPECT_EQ(korvan->Wait(), 1) << korvan->Output();
  EXPECT_NE(korvan->Output().find("cannot open a display"), std::string::npos) << korvan->Output();
}

TEST_F(WindowMode, DamagedWordListEndsTheStartWithItsMessageAndWritesNoConfiguration) {
  fs::remove(folders_.config() / "Korvan.ini");
  std::ofstream(folders_.app() / "korvan.lvk", std::ios::binary | std::ios::trunc) << "not a word list";
  auto korvan = Start("out.txt");
  EXPECT_EQ(korvan->Wait(), 1) << korvan->Output();
  EXPECT_NE(korvan->Output().find("File KORVAN.LVK is corrupted."), std::string::npos) << korvan->Output();
  EXPECT_FALSE(fs::exists(folders_.config() / "Korvan.ini"));
}

TEST_F(WindowMode, MissingLanguageFilesEndTheStartWithItsMessageAndLeaveTheConfigurationAlone) {
  fs::remove(folders_.app() / "cs.kvl");
  fs::remove(folders_.app() / "en.kvl");
  const std::string before = test::ReadFileText(folders_.config() / "Korvan.ini");
  auto korvan = Start("out.txt");
  EXPECT_EQ(korvan->Wait(), 1) << korvan->Output();
  EXPECT_NE(korvan->Output().find("Language definition file was not found."), std::string::npos) << korvan->Output();
  EXPECT_EQ(test::ReadFileText(folders_.config() / "Korvan.ini"), before);
}

TEST_F(WindowMode, SigtermEndsLikeTheTraysExitWithTheFullTearDown) {
  fs::remove(folders_.config() / "Korvan.ini");
  std::ofstream(folders_.config() / "notes.txt") << "not ours";
  const auto notes_time = fs::last_write_time(folders_.config() / "notes.txt");
  auto korvan = Start("out.txt");
  ASSERT_TRUE(WaitFor([&] { return Started(); })) << korvan->Output();
  std::this_thread::sleep_for(500ms);  // the window is up by now
  EXPECT_TRUE(MapsQt(korvan->pid())) << "window mode runs without Qt?";
  EXPECT_EQ(korvan->Stop(SIGTERM), 0) << korvan->Output();
  EXPECT_TRUE(fs::exists(folders_.config() / "Korvan.ini"));
  EXPECT_EQ(fs::last_write_time(folders_.config() / "notes.txt"), notes_time);
  // The log's end line follows its start line.
  const std::string log = test::ReadFileText(folders_.app() / "korvan.log");
  EXPECT_GE(std::count(log.begin(), log.end(), '\n'), 2) << log;
}

TEST_F(WindowMode, SigintEndsItToo) {
  auto korvan = Start("out.txt");
  ASSERT_TRUE(WaitFor([&] { return Started(); })) << korvan->Output();
  EXPECT_EQ(korvan->Stop(SIGINT), 0) << korvan->Output();
}

TEST_F(WindowMode, SecondStartSaysSoEndsWithStatus1AndTouchesNoFile) {
  auto first = Start("first.txt");
  ASSERT_TRUE(WaitFor([&] { return Started(); })) << first->Output();
  // The first one has done its start-up writing once nothing changes for
  // a while; only then can a change be the second one's.
  auto before = Snapshot(folders_.root());
  ASSERT_TRUE(WaitFor([&] {
    std::this_thread::sleep_for(300ms);
    auto now = Snapshot(folders_.root());
    const bool settled = now == before;
    before = std::move(now);
    return settled;
  }));

  auto second = Start("second.txt");
  EXPECT_EQ(second->Wait(), 1) << second->Output();
  EXPECT_NE(second->Output().find("The KORVAN is already running"), std::string::npos) << second->Output();
  auto after = Snapshot(folders_.root());
  after.erase((folders_.root() / "second.txt").string());
  EXPECT_EQ(after, before);
  EXPECT_TRUE(first->running());
  EXPECT_EQ(first->Stop(SIGTERM), 0) << first->Output();

  // With the first one gone, a start goes ahead: its start line follows.
  const std::size_t log_size = test::ReadFileText(folders_.app() / "korvan.log").size();
  auto third = Start("third.txt");
  ASSERT_TRUE(WaitFor([&] { return test::ReadFileText(folders_.app() / "korvan.log").size() > log_size; }))
      << third->Output();
  EXPECT_EQ(third->Stop(SIGTERM), 0) << third->Output();
}

TEST_F(WindowMode, ProgramWithoutTheModuleSendsTheUserToServiceMode) {
  const fs::path alone = folders_.root() / "bin";
  fs::create_directories(alone);
  fs::copy_file(test::BinDir() / "korvan", alone / "korvan");
  test::ChildProcess korvan(alone / "korvan", {"--config-dir", folders_.config().string()}, folders_.root() / "out.txt");
  EXPECT_EQ(korvan.Wait(), 2) << korvan.Output();
  EXPECT_NE(korvan.Output().find("this build has no window mode; start it with --service"), std::string::npos)
      << korvan.Output();
}

TEST_F(WindowMode, ServiceModeMapsNoQtLibrary) {
  auto service = Start("service.txt", {"--service"});
  ASSERT_TRUE(WaitFor([&] { return service->Output().find("service running") != std::string::npos; }))
      << service->Output();
  const std::string maps = test::ReadFileText("/proc/" + std::to_string(service->pid()) + "/maps");
  ASSERT_FALSE(maps.empty());
  EXPECT_EQ(maps.find("libQt6"), std::string::npos);
  EXPECT_EQ(maps.find("korvan-window"), std::string::npos);
  EXPECT_EQ(service->Stop(SIGTERM), 0) << service->Output();
}

}  // namespace
}  // namespace korvan
