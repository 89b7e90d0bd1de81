// The screenshot tests run on a real X server: this program starts Xvfb on a
// free display, points Qt's xcb platform at it, and ends it afterwards.
// Without Xvfb the tests skip.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <unistd.h>

#include <QApplication>

#include "tests/gui/screenshots/x_server.h"
#include "tests/support/child_process.h"

namespace korvan::test {

bool g_have_x_server = false;

namespace {

std::filesystem::path FindXvfb() {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= dirs.size();) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::filesystem::path candidate = std::filesystem::path(dirs.substr(start, end - start)) / "Xvfb";
    if (!candidate.parent_path().empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

}  // namespace
}  // namespace korvan::test

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  using korvan::test::ChildProcess;
  std::unique_ptr<ChildProcess> xvfb;
  const fs::path program = korvan::test::FindXvfb();
  const fs::path output = fs::temp_directory_path() / ("korvan-xvfb-" + std::to_string(::getpid()) + ".txt");
  // Listing the tests (CMake does, at build time) needs no X server.
  bool listing = false;
  for (int i = 1; i < argc; ++i) listing = listing || std::string(argv[i]) == "--gtest_list_tests";
  if (!program.empty() && !listing) {
    // A display number nobody uses: its socket is absent.
    for (int display = 70 + ::getpid() % 100; display < 400 && !xvfb; ++display) {
      const fs::path socket = fs::path("/tmp/.X11-unix") / ("X" + std::to_string(display));
      if (fs::exists(socket) || fs::exists("/tmp/.X" + std::to_string(display) + "-lock")) continue;
      xvfb = std::make_unique<ChildProcess>(
          program, std::vector<std::string>{":" + std::to_string(display), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"},
          output);
      for (int i = 0; i < 100 && !fs::exists(socket); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (!fs::exists(socket)) {
        xvfb.reset();
        continue;
      }
      setenv("DISPLAY", (":" + std::to_string(display)).c_str(), 1);
      setenv("QT_QPA_PLATFORM", "xcb", 1);
      korvan::test::g_have_x_server = true;
    }
  }
  if (!korvan::test::g_have_x_server) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int result = 0;
  {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    result = RUN_ALL_TESTS();
  }
  if (xvfb) xvfb->Stop(SIGTERM);
  std::error_code ignored;
  fs::remove(output, ignored);
  return result;
}
