// The one bundle of platform services that the client core runs on. Service
// mode fills it with the headless implementations (platform/), window mode
// with Qt's (gui/), tests with fakes, including a fault-injecting one. The
// core reaches the operating system through nothing else.
//
// Thread rule: the core uses every service on the main thread; the ones
// that workers also use (the main-thread hand-off, the clock) say so.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "shell/listener.h"
#include "shell/locale_format.h"
#include "shell/log_file.h"
#include "shell/profile_store.h"
#include "shell/shell_services.h"
#include "shell/system_proxy_store.h"
#include "tunnel/clock.h"
#include "tunnel/worker_environment.h"
#include "tunnel/worker_host.h"
#include "updater/update_types.h"
#include "wire/word_list.h"

namespace korvan {

// The main thread's loop: hand-offs from workers (Invoke, any thread),
// posted work, timers, and the end of the loop.
class MainLoop : public MainThread, public MessagePump {
 public:
  using TimerId = int;
  // Queues `fn` to run on the main thread once the loop runs; any thread.
  virtual void Post(std::function<void()> fn) = 0;
  // Calls `fn` every `interval` on the main thread until StopTimer.
  virtual TimerId StartTimer(std::chrono::milliseconds interval, std::function<void()> fn) = 0;
  virtual void StopTimer(TimerId id) = 0;
  // Ends the loop (the tray's Exit, a restart); any thread.
  virtual void Quit() = 0;
};

// The connection workers behind the listeners: one thread per accepted
// connection.
class ConnectionWorkers {
 public:
  virtual ~ConnectionWorkers() = default;
  // From now on every accepted connection gets a worker served by `host`
  // and packing with `words`; before, connections are closed at once. A
  // connection accepted while `max_workers` workers run is closed at once
  // too, and the refusals are logged through `host`.
  virtual void Begin(WorkerHost& host, const WordList& words, std::size_t max_workers) = 0;
  // Asks every worker to end and returns when all have; their last
  // hand-offs run meanwhile. New connections are closed from now on.
  virtual void EndAll() = 0;
  virtual std::size_t live_workers() = 0;
};

// Opens korvan.log for the whole run, shutting other writers out.
class LogFileOpener {
 public:
  virtual ~LogFileOpener() = default;
  // Null and *error set when the file cannot be opened or another process
  // holds it.
  virtual std::unique_ptr<LogFile> Open(const std::filesystem::path& path, std::string* error) = 0;
};

// Starts other programs, not waiting for them.
class ProcessLauncher {
 public:
  virtual ~ProcessLauncher() = default;
  // False when the program could not be started (missing, not executable).
  virtual bool Start(const std::filesystem::path& program, const std::vector<std::string>& arguments) = 0;
};

struct PlatformServices {
  MainLoop& loop;
  Clock& clock;
  ListenerFactory& listeners;
  ConnectionWorkers& workers;
  ProfileStore& profile;
  LogFileOpener& log_files;
  SystemProxyStore& system_proxy;
  AutostartStore& autostart;
  UserPrompts& prompts;
  UpdateDialogs& update_dialogs;
  ProcessLauncher& processes;
  // Connections of the main thread's own, opened on a thread of their own
  // (the account query).
  Network& network;
  LocaleFormat locale;
  // The user's language code ("cs"), for the first choice of language.
  std::string user_language;
  // Byte 10 of the login block, derived from the host's identity.
  std::uint8_t host_identity = 0;
  // This process, handed to the updater so that it waits for our end; 0
  // when unknown (the updater then does not wait).
  long process_id = 0;
};

}  // namespace korvan
