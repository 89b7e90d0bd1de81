#include "tests/gui/gui_test_support.h"

#include <unistd.h>

#include <cstdlib>

#include "tests/support/test_paths.h"

namespace korvan::test {

QApplication& GuiApp() {
  static QApplication* app = [] {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "korvan_gui_tests";
    static char* argv[] = {name, nullptr};
    // Never destroyed: widgets of later tests and Qt's exit handlers need it.
    return new QApplication(argc, argv);
  }();
  return *app;
}

WindowFolders::WindowFolders() {
  static int counter = 0;
  root_ = std::filesystem::temp_directory_path() /
          ("korvan-window-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(root_);
  std::filesystem::create_directories(app());
  std::filesystem::create_directories(config());
  std::filesystem::create_directories(runtime());
  std::filesystem::permissions(runtime(), std::filesystem::perms::owner_all);
  for (const char* f : {"cs.kvl", "en.kvl", "korvan.lvk"}) std::filesystem::copy_file(BinDir() / f, app() / f);
  // The window reaches the desktop's proxy settings and autostart entry:
  // never the real ones of whoever runs the tests.
  std::filesystem::create_directories(root_ / "xdg-config");
  ::setenv("XDG_CONFIG_HOME", (root_ / "xdg-config").c_str(), 1);
  ::unsetenv("XDG_CURRENT_DESKTOP");
}

WindowFolders::~WindowFolders() {
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

ScopedEnv::ScopedEnv(std::initializer_list<std::pair<const char*, std::optional<std::string>>> values) {
  for (const auto& [name, value] : values) {
    const char* old = std::getenv(name);
    saved_.emplace(name, old == nullptr ? std::nullopt : std::optional<std::string>(old));
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
}

ScopedEnv::~ScopedEnv() {
  for (const auto& [name, value] : saved_) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
}

}  // namespace korvan::test
