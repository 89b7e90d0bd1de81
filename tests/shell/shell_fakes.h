// Test doubles for the interfaces the shell reaches the outside through.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tunnel/clock.h"
#include "updater/update_types.h"
#include "shell/listener.h"
#include "shell/log_file.h"
#include "shell/profile_store.h"
#include "shell/shell_services.h"
#include "shell/system_proxy_store.h"

namespace korvan::test {

class MemoryProfileStore : public ProfileStore {
 public:
  std::optional<std::string> bytes;  // nullopt: no file
  bool unreadable = false;
  int replacements = 0;

  ProfileLoad Load() override {
    if (unreadable) return {ProfileLoad::Status::kError, {}, "unreadable"};
    if (!bytes) return {};
    return {ProfileLoad::Status::kOk, *bytes, {}};
  }
  bool Replace(std::string_view content, std::string*) override {
    bytes = std::string(content);
    ++replacements;
    return true;
  }
};

// Listeners that open unless their port is in `taken`; connections are
// plain counters so tests can watch them being closed.
struct FakeListenerState {
  std::vector<int> taken;
  int created = 0;
  int activations = 0;
};

class FakeListener : public Listener {
 public:
  explicit FakeListener(FakeListenerState& state) : state_(state) {}
  void set_port(int port) override { port_ = port; }
  int port() const override { return port_; }
  void set_entry(std::size_t entry) override { entry_ = entry; }
  bool Activate(std::string* error) override {
    ++state_.activations;
    for (int p : state_.taken) {
      if (p == port_) {
        *error = "taken";
        return false;
      }
    }
    active_ = true;
    return true;
  }
  void Deactivate() override {
    active_ = false;
    open_connections = 0;
  }
  bool active() const override { return active_; }
  std::size_t ActiveConnectionCount() override { return open_connections; }
  void CloseFirstConnection() override {
    if (open_connections > 0) --open_connections;
  }
  std::size_t entry() const { return entry_; }
  std::size_t open_connections = 0;

 private:
  FakeListenerState& state_;
  int port_ = 0;
  std::size_t entry_ = 0;
  bool active_ = false;
};

class FakeListenerFactory : public ListenerFactory {
 public:
  FakeListenerState state;
  std::unique_ptr<Listener> Create() override {
    ++state.created;
    return std::make_unique<FakeListener>(state);
  }
};

class CountingPump : public MessagePump {
 public:
  int runs = 0;
  void RunPending() override { ++runs; }
};

class FakeClock : public Clock {
 public:
  std::uint32_t tick = 0;
  double now = 45000.5;  // 2023-03-15 12:00:00
  std::uint32_t TickCount() override { return tick; }
  double Now() override { return now; }
  void Sleep(std::uint32_t ms) override { tick += ms; }
};

class MemoryProxyStore : public SystemProxyStore {
 public:
  std::map<std::string, TIESettings> settings;  // by connection name
  std::vector<TIESettings> applied;
  int notifications = 0;
  int Query(TIESettings& entry) override {
    const auto it = settings.find(entry.connection_name);
    if (it == settings.end()) return 87;
    entry = it->second;
    return 0;
  }
  int Apply(const TIESettings& entry) override {
    applied.push_back(entry);
    settings[entry.connection_name] = entry;
    return 0;
  }
  void NotifyChanged() override { ++notifications; }
};

class MemoryAutostart : public AutostartStore {
 public:
  bool enabled = false;
  bool IsEnabled() override { return enabled; }
  void SetEnabled(bool on) override { enabled = on; }
};

class RecordingPrompts : public UserPrompts, public UpdateDialogs {
 public:
  std::vector<std::string> errors;
  std::vector<std::pair<std::string, std::string>> questions;
  bool answer = true;
  void ShowError(std::string_view text) override { errors.emplace_back(text); }
  bool AskYesNo(std::string_view caption, std::string_view text) override {
    questions.emplace_back(caption, text);
    return answer;
  }
  // The updater's boxes and dialogs, noted; Yes/No boxes get `answer`, the
  // update dialog `dialog_answer` (unless `on_dialog` decides).
  std::vector<MessageBoxRequest> boxes;
  std::vector<UpdateDialogRequest> dialogs;
  UpdateDialogAnswer dialog_answer{true, true};
  std::function<UpdateDialogAnswer(const UpdateDialogRequest&)> on_dialog;
  std::int32_t ShowMessageBox(const MessageBoxRequest& request) override {
    boxes.push_back(request);
    if ((request.type & 0x0F) == kMbYesNo) return answer ? kIdYes : kIdNo;
    return kIdOk;
  }
  UpdateDialogAnswer ShowUpdateDialog(const UpdateDialogRequest& request) override {
    dialogs.push_back(request);
    return on_dialog ? on_dialog(request) : dialog_answer;
  }
};

class MemoryLogFile : public LogFile {
 public:
  explicit MemoryLogFile(std::string* content, const bool* full = nullptr)
      : content_(content), full_(full), initial_(*content) {}
  const std::string& initial_content() const override { return initial_; }
  bool Append(std::string_view bytes) override {
    if (full_ != nullptr && *full_) return false;
    content_->append(bytes);
    return true;
  }
  std::string last_error() const override { return full_ != nullptr && *full_ ? "korvan.log: disk full" : ""; }
  bool Truncate() override {
    content_->clear();
    return true;
  }

 private:
  std::string* content_;
  const bool* full_;
  std::string initial_;
};

// Everything a KorvanForm needs, in memory.
struct FakeShell {
  MemoryProfileStore profile;
  FakeListenerFactory listeners;
  CountingPump pump;
  FakeClock clock;
  MemoryProxyStore proxy;
  MemoryAutostart autostart;
  RecordingPrompts prompts;
  TextTable texts;
  std::string log_content;

  FakeShell() { proxy.settings[""].flags = 1; }

  ShellServices Services() {
    ShellServices s{profile, listeners, pump, clock, proxy, autostart, prompts, texts, LocaleFormat{}, 7};
    return s;
  }
  std::unique_ptr<LogFile> LogFileHandle() { return std::make_unique<MemoryLogFile>(&log_content, &log_full); }
  bool log_full = false;  // the log's disk refuses every append while set
};

}  // namespace korvan::test
