// The platform bundle in memory, for driving the client core on one thread:
// a loop whose timers and posted work the test runs by hand, workers that
// only record, and the shell's memory fakes. Every service writes what it
// is asked to do into one journal, so that tests can check the order.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "shell/platform_services.h"
#include "tests/shell/shell_fakes.h"

namespace korvan::test {

using Journal = std::vector<std::string>;

class ManualLoop : public MainLoop {
 public:
  explicit ManualLoop(Journal& journal) : journal_(journal) {}
  void Invoke(const std::function<void()>& fn) override { fn(); }
  void RunPending() override {
    while (!posted.empty()) {
      auto fn = std::move(posted.front());
      posted.erase(posted.begin());
      fn();
    }
  }
  void Post(std::function<void()> fn) override { posted.push_back(std::move(fn)); }
  TimerId StartTimer(std::chrono::milliseconds interval, std::function<void()> fn) override {
    journal_.push_back("timer started " + std::to_string(interval.count()) + " ms");
    timers[next_] = std::move(fn);
    return next_++;
  }
  void StopTimer(TimerId id) override {
    journal_.push_back("timer stopped");
    timers.erase(id);
  }
  void Quit() override { ++quits; }
  // Fires every timer once, as a second passing would.
  void FireTimers() {
    for (auto& [id, fn] : timers) fn();
  }

  std::vector<std::function<void()>> posted;
  std::map<TimerId, std::function<void()>> timers;
  int quits = 0;

 private:
  Journal& journal_;
  TimerId next_ = 1;
};

class RecordingWorkers : public ConnectionWorkers {
 public:
  explicit RecordingWorkers(Journal& journal) : journal_(journal) {}
  void Begin(WorkerHost& h, const WordList& w, std::size_t cap) override {
    journal_.push_back("workers begin");
    host = &h;
    words = &w;
    max_workers = cap;
  }
  void EndAll() override { journal_.push_back("workers ended"); }
  std::size_t live_workers() override { return 0; }
  WorkerHost* host = nullptr;
  const WordList* words = nullptr;
  std::size_t max_workers = 0;

 private:
  Journal& journal_;
};

class JournalProfile : public MemoryProfileStore {
 public:
  explicit JournalProfile(Journal& journal) : journal_(journal) {}
  ProfileLoad Load() override {
    journal_.push_back("ini read");
    return MemoryProfileStore::Load();
  }
  bool Replace(std::string_view content, std::string* error) override {
    journal_.push_back("ini written");
    return MemoryProfileStore::Replace(content, error);
  }

 private:
  Journal& journal_;
};

class JournalLogFile : public MemoryLogFile {
 public:
  JournalLogFile(std::string* content, Journal& journal) : MemoryLogFile(content), journal_(journal) {}
  bool Append(std::string_view bytes) override {
    journal_.push_back("log: " + std::string(bytes.substr(bytes.find(" - ") + 3, bytes.find('\r') - bytes.find(" - ") - 3)));
    return MemoryLogFile::Append(bytes);
  }

 private:
  Journal& journal_;
};

class MemoryLogOpener : public LogFileOpener {
 public:
  explicit MemoryLogOpener(Journal& journal) : journal_(journal) {}
  std::unique_ptr<LogFile> Open(const std::filesystem::path& path, std::string* error) override {
    journal_.push_back("log opened");
    opened_path = path;
    if (refuse) {
      *error = "held by another process";
      return nullptr;
    }
    return std::make_unique<JournalLogFile>(&content, journal_);
  }
  bool refuse = false;
  std::string content;
  std::filesystem::path opened_path;

 private:
  Journal& journal_;
};

class RecordingProcesses : public ProcessLauncher {
 public:
  bool Start(const std::filesystem::path& program, const std::vector<std::string>& arguments) override {
    std::string line = program.string();
    for (const auto& a : arguments) line += " " + a;
    started.push_back(line);
    return false;  // as if the program were absent: the core must not mind
  }
  std::vector<std::string> started;
};

class JournalListeners : public FakeListenerFactory {
 public:
  explicit JournalListeners(Journal& journal) : journal_(journal) {}
  std::unique_ptr<Listener> Create() override {
    journal_.push_back("listener");
    return FakeListenerFactory::Create();
  }

 private:
  Journal& journal_;
};

// No connection opens: every query fails to connect.
class NoNetwork : public Network {
 public:
  std::unique_ptr<StreamSocket> Connect(const std::string&, std::uint16_t) override { return nullptr; }
  void WaitReadable(StreamSocket&, StreamSocket&, std::uint32_t) override {}
};

struct FakePlatform {
  Journal journal;
  ManualLoop loop{journal};
  FakeClock clock;
  JournalListeners listeners{journal};
  RecordingWorkers workers{journal};
  JournalProfile profile{journal};
  MemoryLogOpener log_files{journal};
  MemoryProxyStore proxy;
  MemoryAutostart autostart;
  RecordingPrompts prompts;
  RecordingProcesses processes;
  NoNetwork network;

  PlatformServices Services() {
    return PlatformServices{loop,  clock,     listeners, workers,   profile,        log_files, proxy,
                            autostart, prompts, prompts, processes, network, LocaleFormat{}, "en", 7};
  }
};

}  // namespace korvan::test
