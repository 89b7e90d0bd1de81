// Starting with the user's session: the XDG autostart entry korvan.desktop
// in the autostart folder of the XDG configuration folder. The entry is
// there exactly when autostart is on; it starts the running program by its
// full path, with the folders it was given on its command line.
//
// Thread rule: main thread only.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "shell/shell_services.h"

namespace korvan {

class XdgAutostart : public AutostartStore {
 public:
  // `command` is the program's full path and its arguments.
  XdgAutostart(std::filesystem::path config_home, std::vector<std::string> command)
      : file_(std::move(config_home) / "autostart" / "korvan.desktop"), command_(std::move(command)) {}

  bool IsEnabled() override;
  void SetEnabled(bool enabled) override;

  const std::filesystem::path& file() const { return file_; }
  // The last failure to write or remove the entry; empty when none.
  const std::string& last_error() const { return last_error_; }

  // The entry's text for `command`.
  static std::string EntryText(const std::vector<std::string>& command);

 private:
  std::filesystem::path file_;
  std::vector<std::string> command_;
  std::string last_error_;
};

}  // namespace korvan
