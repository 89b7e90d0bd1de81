// The platform bundle of the client with faults: the real POSIX pieces
// (event loop, listeners, worker threads, Korvan.ini and korvan.log on disk)
// running over FaultInjectingSystemCalls, and a clock that a test can make
// jump. In the manner of a fault-injecting Env: the code under test is the
// real code, only the operating system misbehaves.
//
// Thread rule: FaultInjectingPlatform is built, used and destroyed on one
// thread, the one that runs its loop (the client's main thread); the system
// calls and the clock may be scripted from any thread meanwhile.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/event_loop.h"
#include "platform/headless_services.h"
#include "platform/posix_listener.h"
#include "platform/posix_stream_socket.h"
#include "platform/profile_file.h"
#include "platform/system_clock.h"
#include "platform/worker_launcher.h"
#include "updater/update_types.h"
#include "shell/client_core.h"
#include "tests/support/fault_injecting_system_calls.h"

namespace korvan::test {

// The system clock, shifted by amounts a test chooses while it runs: the
// tick (to cross its wrap) and the local date-time (a clock set back).
class JumpingClock : public Clock {
 public:
  std::uint32_t TickCount() override { return real_.TickCount() + tick_shift_.load(); }
  double Now() override { return real_.Now() + day_shift_.load(); }
  void Sleep(std::uint32_t ms) override { real_.Sleep(ms); }
  // The tick reads `ticks_from_now` higher from now on.
  void ShiftTicks(std::uint32_t ticks) { tick_shift_ += ticks; }
  // The tick reads `before_wrap` below its wrap now.
  void PutTickBeforeWrap(std::uint32_t before_wrap) { tick_shift_ = 0U - before_wrap - real_.TickCount(); }
  void ShiftDays(double days) { day_shift_ = day_shift_.load() + days; }

 private:
  SystemClock real_;
  std::atomic<std::uint32_t> tick_shift_{0};
  std::atomic<double> day_shift_{0};
};

// Message boxes noted for the test, from the main thread; read them with
// the loop's Invoke.
class NotedPrompts : public UserPrompts, public UpdateDialogs {
 public:
  void ShowError(std::string_view text) override { errors.emplace_back(text); }
  bool AskYesNo(std::string_view, std::string_view) override { return false; }
  std::int32_t ShowMessageBox(const MessageBoxRequest& request) override {
    errors.push_back(request.text);
    return kIdNo;
  }
  UpdateDialogAnswer ShowUpdateDialog(const UpdateDialogRequest&) override { return {}; }
  std::vector<std::string> errors;
};

class NoProcesses : public ProcessLauncher {
 public:
  bool Start(const std::filesystem::path&, const std::vector<std::string>&) override { return false; }
};

class FaultyLogOpener : public LogFileOpener {
 public:
  explicit FaultyLogOpener(SystemCalls& calls) : calls_(calls) {}
  std::unique_ptr<LogFile> Open(const std::filesystem::path& path, std::string* error) override;

 private:
  SystemCalls& calls_;
};

class FaultInjectingPlatform {
 public:
  FaultInjectingPlatform(const std::filesystem::path& config_dir, FaultInjectingSystemCalls& calls,
                         JumpingClock& clock);
  PlatformServices Services();

  EventLoop loop;
  NotedPrompts prompts;

 private:
  JumpingClock& clock_;
  PosixNetwork network_;
  WorkerLauncher workers_;
  PosixListenerFactory listeners_;
  ProfileFile profile_;
  FaultyLogOpener log_files_;
  NoSystemProxy system_proxy_;
  NoAutostart autostart_;
  NoProcesses processes_;
};

// The client core in service mode on a main thread of its own, over the
// fault-injecting bundle, until the object ends.
class FaultyClient {
 public:
  FaultyClient(std::filesystem::path app_dir, std::filesystem::path config_dir, FaultInjectingSystemCalls& calls,
               JumpingClock& clock);
  ~FaultyClient();
  FaultyClient(const FaultyClient&) = delete;
  FaultyClient& operator=(const FaultyClient&) = delete;

  bool started() const { return started_; }
  // Runs `fn` with the core on its main thread and waits for it.
  void OnMain(const std::function<void(ClientCore&, FaultInjectingPlatform&)>& fn);
  // Ends the loop and the core's tear-down; returns when both are done.
  void Stop();

 private:
  std::thread thread_;
  std::promise<void> ready_;
  bool started_ = false;
  EventLoop* loop_ = nullptr;
  ClientCore* core_ = nullptr;
  FaultInjectingPlatform* platform_ = nullptr;
};

}  // namespace korvan::test
