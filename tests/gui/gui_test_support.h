// What the window-mode tests share: one offscreen QApplication for the
// in-process tests, scratch program and configuration folders, and
// environment variables set for one test.
#pragma once

#include <QApplication>

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace korvan::test {

// Created on first use, on the test's (main) thread, offscreen.
QApplication& GuiApp();

// A program folder with the language files and the word list, a
// configuration folder and a runtime folder, removed afterwards.
class WindowFolders {
 public:
  WindowFolders();
  ~WindowFolders();
  WindowFolders(const WindowFolders&) = delete;
  WindowFolders& operator=(const WindowFolders&) = delete;
  std::filesystem::path root() const { return root_; }
  std::filesystem::path app() const { return root_ / "app"; }
  std::filesystem::path config() const { return root_ / "config"; }
  std::filesystem::path runtime() const { return root_ / "run"; }

 private:
  std::filesystem::path root_;
};

// Sets (or, with nullopt, removes) variables until it goes.
class ScopedEnv {
 public:
  ScopedEnv(std::initializer_list<std::pair<const char*, std::optional<std::string>>> values);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace korvan::test
