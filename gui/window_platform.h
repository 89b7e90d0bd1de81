// The platform bundle of window mode: the Qt event loop as the main thread,
// message boxes and the updater's dialogs; for the rest the pieces service
// mode uses (system clock, POSIX sockets and listeners with one worker
// thread per connection, Korvan.ini and korvan.log on disk, posix_spawn);
// the proxy settings of the desktops named in XDG_CURRENT_DESKTOP and the
// XDG autostart entry.
//
// Thread rule: built and destroyed on the GUI thread, after the
// QApplication and before it goes; the pieces state their own rules.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "gui/qt_main_loop.h"
#include "gui/qt_prompts.h"
#include "gui/qt_update_dialogs.h"
#include "platform/desktop_proxy_store.h"
#include "platform/headless_platform.h"
#include "platform/xdg_autostart.h"

namespace korvan::gui {

class WindowPlatform {
 public:
  // Korvan.ini lives in `config_dir`; error lines go to `err`; the
  // autostart entry runs `autostart_command` (the program and its options).
  WindowPlatform(const std::filesystem::path& config_dir, std::ostream& err,
                 std::vector<std::string> autostart_command);

  PlatformServices Services();
  QtMainLoop& loop() { return loop_; }
  QtPrompts& prompts() { return prompts_; }
  QtUpdateDialogs& update_dialogs() { return update_dialogs_; }
  ProfileFile& profile() { return profile_; }
  ConnectionWorkers& workers() { return workers_; }

 private:
  QtMainLoop loop_;
  SystemClock clock_;
  PosixNetwork network_;
  WorkerLauncher workers_;
  PosixListenerFactory listeners_;
  ProfileFile profile_;
  LockedLogFileOpener log_files_;
  std::unique_ptr<DesktopProxyStore> system_proxy_;
  XdgAutostart autostart_;
  QtPrompts prompts_;
  QtUpdateDialogs update_dialogs_;
  PosixProcessLauncher processes_;
};

}  // namespace korvan::gui
