// The headless platform bundle of service mode: the event loop as the main
// thread, the system clock, POSIX sockets and listeners with one worker
// thread per connection, Korvan.ini and korvan.log on disk, no desktop proxy
// settings or autostart of its own (systemd starts the service), message
// boxes as lines on standard error and in the log, posix_spawn.
//
// Thread rule: built and destroyed on the main thread; the pieces state
// their own rules.
#pragma once

#include <filesystem>
#include <iosfwd>

#include "platform/event_loop.h"
#include "platform/headless_services.h"
#include "platform/posix_listener.h"
#include "platform/posix_process_launcher.h"
#include "platform/posix_stream_socket.h"
#include "platform/profile_file.h"
#include "platform/system_clock.h"
#include "platform/worker_launcher.h"
#include "shell/platform_services.h"

namespace korvan {

// korvan.log through LockedLogFile.
class LockedLogFileOpener : public LogFileOpener {
 public:
  std::unique_ptr<LogFile> Open(const std::filesystem::path& path, std::string* error) override;
};

class HeadlessPlatform {
 public:
  // Korvan.ini lives in `config_dir`; prompts go to `err`.
  HeadlessPlatform(const std::filesystem::path& config_dir, std::ostream& err);

  PlatformServices Services();
  EventLoop& loop() { return loop_; }
  ProfileFile& profile() { return profile_; }
  StderrPrompts& prompts() { return prompts_; }

 private:
  EventLoop loop_;
  SystemClock clock_;
  PosixNetwork network_;
  WorkerLauncher workers_;
  PosixListenerFactory listeners_;
  ProfileFile profile_;
  LockedLogFileOpener log_files_;
  NoSystemProxy system_proxy_;
  NoAutostart autostart_;
  StderrPrompts prompts_;
  PosixProcessLauncher processes_;
};

}  // namespace korvan
