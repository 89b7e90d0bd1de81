// The client core over the Qt bundle, in-process: the tray's Restart and
// Exit end the Qt loop, the tear-down writes the configuration, and the
// updater program is started with "/R" only after a restart.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <thread>

#include "gui/window_platform.h"
#include "shell/client_core.h"
#include "tests/gui/gui_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/test_paths.h"

namespace korvan::gui {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class WindowBundle : public ::testing::Test {
 protected:
  void SetUp() override {
    test::GuiApp();
    std::ofstream ini(folders_.config() / "Korvan.ini", std::ios::binary);
    ini << "[Config]\r\nLanguage=en.kvl\r\n[Setup]\r\nSocketCount=1\r\n[Socket1]\r\nLPort="
        << test::FreeLoopbackPort() << "\r\nProtocol=0\r\n";
    ini.close();
    // A stand-in updater that notes how it was called.
    const fs::path updater = folders_.app() / std::string(kUpdaterProgram);
    std::ofstream script(updater);
    script << "#!/bin/sh\necho \"started $*\" > \"$(dirname \"$0\")/updater-called.txt\"\n";
    script.close();
    fs::permissions(updater, fs::perms::owner_all);
  }

  // Runs the core over the bundle until `end` (posted into the loop) ends
  // it, then tears down as window mode does; the updater's arguments.
  std::string RunUntil(void (ClientCore::*end)()) {
    WindowPlatform platform(folders_.config(), std::cerr, {(folders_.app() / "korvan").string()});
    ClientCore core(platform.Services(), {folders_.app(), /*service_mode=*/false, {}, {}});
    platform.prompts().set_core(&core);
    EXPECT_TRUE(core.Start()) << core.start_error_detail();
    platform.loop().Post([&] { (core.*end)(); });
    platform.loop().Run();
    core.Stop();
    platform.loop().Finish();
    core.RunUpdater();
    const fs::path called = folders_.app() / "updater-called.txt";
    for (auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;) {
      const std::string text = test::ReadFileText(called);
      if (!text.empty()) return text;
      std::this_thread::sleep_for(20ms);
    }
    ADD_FAILURE() << "the updater program was not started";
    return {};
  }

  test::WindowFolders folders_;
};

TEST_F(WindowBundle, RestartEndsTheLoopAndStartsTheUpdaterWithR) {
  const std::string called = RunUntil(&ClientCore::miRestartClick);
  EXPECT_NE(called.find("started"), std::string::npos);
  EXPECT_NE(called.find("/R"), std::string::npos) << called;
  EXPECT_EQ(called.find("/RS"), std::string::npos) << called;
  // The tear-down wrote the configuration back.
  EXPECT_NE(test::ReadFileText(folders_.config() / "Korvan.ini").find("Language=en.kvl"), std::string::npos);
}

TEST_F(WindowBundle, ExitEndsTheLoopAndStartsTheUpdaterWithoutASwitch) {
  const std::string called = RunUntil(&ClientCore::miCloseClick);
  EXPECT_NE(called.find("started"), std::string::npos);
  EXPECT_EQ(called.find("/R"), std::string::npos) << called;
}

}  // namespace
}  // namespace korvan::gui
