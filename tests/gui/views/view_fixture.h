// A started client core for the window tests: a program folder with the
// shipped language files and word list, a configuration folder with a real
// Korvan.ini on disk, and the rest of the platform in memory (listeners that
// open nothing, message boxes that only record).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include <QString>
#include <QWidget>

#include "platform/posix_stream_socket.h"
#include "platform/profile_file.h"
#include "shell/client_core.h"
#include "tests/platform/temp_dir.h"
#include "tests/shell/fake_platform.h"

namespace korvan::test {

class ViewFixture : public ::testing::Test {
 protected:
  ViewFixture();
  ~ViewFixture() override;

  // Before StartCore: the configuration file's bytes, and extra language
  // files (code-page bytes) in the program folder.
  void WriteConfig(std::string_view bytes);
  void WriteLanguageFile(const std::string& file_name, std::string_view bytes);
  // Starts the core; the test fails when it does not start.
  ClientCore& StartCore(bool service_mode = false);
  // Korvan.ini as it is on disk now.
  std::string ConfigOnDisk() const;

  // The widget of that object name below `root` (fails the test when absent).
  template <typename T>
  T* Find(const QWidget& root, const QString& name) {
    T* widget = root.findChild<T*>(name);
    EXPECT_NE(widget, nullptr) << "no " << name.toStdString();
    return widget;
  }

  TempDir temp_;
  std::filesystem::path app_dir_;
  std::filesystem::path config_dir_;
  FakePlatform platform_;
  std::unique_ptr<ProfileFile> profile_;
  PosixNetwork network_;  // the account query's; these tests start none
  std::unique_ptr<ClientCore> core_;
};

// The text of a language file, as the program reads it (code page 1250).
std::string Cp1250(const QString& text);

}  // namespace korvan::test
