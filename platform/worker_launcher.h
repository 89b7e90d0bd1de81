// Starts a connection worker on a thread of its own for every accepted
// connection, up to a cap, and ends them all at shutdown. Their pixel work
// shares a small pool of threads at a lower priority.
//
// Thread rule: Start runs on the listeners' accept threads; Begin, EndAll
// and live_workers on the main thread, and so does the refusal report,
// which Start posts there. `mutex_` guards the list of running workers, the
// host, the word list, the cap, the refusal count and the stopping flag; a
// worker's thread gives up its worker under `mutex_` when it ends, and its
// `done` flag is that thread's to set. The report's timer is the main
// thread's alone.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "platform/posix_listener.h"
#include "platform/system_calls.h"
#include "shell/listener.h"
#include "shell/platform_services.h"
#include "tunnel/pixel_work_pool.h"
#include "tunnel/proxy_thread.h"

namespace korvan {

// The log line for `refused` connections closed because `max_workers`
// workers were running.
std::string RefusedConnectionsText(std::size_t refused, std::size_t max_workers);

class WorkerLauncher : public ConnectionFactory, public ConnectionWorkers {
 public:
  // Refusals reach the log at most once in this many milliseconds, as a
  // count, so that a flood of connections cannot flood the log.
  static constexpr std::uint32_t kRefusalReportMs = 1000;

  // Workers hand off through `loop`, which also runs their last hand-offs
  // while EndAll waits for them.
  // Accepted connections read and write through `calls`.
  WorkerLauncher(MainLoop& loop, Clock& clock, Network& network, SystemCalls& calls = RealSystemCalls());
  ~WorkerLauncher() override;

  void Begin(WorkerHost& host, const WordList& words, std::size_t max_workers) override KORVAN_EXCLUDES(mutex_);
  void Start(std::shared_ptr<AcceptedSocket> socket, std::size_t entry) override KORVAN_EXCLUDES(mutex_);
  void EndAll() override KORVAN_EXCLUDES(mutex_);
  std::size_t live_workers() override KORVAN_EXCLUDES(mutex_);

 private:
  struct Running {
    // Null once its thread has ended it.
    std::unique_ptr<TProxyThread> worker;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void JoinFinished() KORVAN_REQUIRES(mutex_);
  // On the worker's thread, when ClientExecute has returned.
  void Finish(Running& running) KORVAN_EXCLUDES(mutex_);
  // A connection closed over the cap, counted for the report.
  void CountRefusal() KORVAN_REQUIRES(mutex_);
  // Main thread: logs the refusals counted since the last line, when that
  // line is old enough; keeps a timer running while some may follow.
  void ReportRefusals() KORVAN_EXCLUDES(mutex_);
  void StopReportTimer();

  MainLoop& loop_;
  Clock& clock_;
  Network& network_;
  SystemCalls& calls_;
  // The workers' pixel work, on fewer threads than cores, at a lower
  // priority. Declared before the list so that it outlives the workers.
  PixelWorkPool pixel_work_;
  Mutex mutex_;
  WorkerHost* host_ KORVAN_GUARDED_BY(mutex_) = nullptr;
  const WordList* words_ KORVAN_GUARDED_BY(mutex_) = nullptr;
  std::size_t max_workers_ KORVAN_GUARDED_BY(mutex_) = 0;
  std::list<std::unique_ptr<Running>> running_ KORVAN_GUARDED_BY(mutex_);
  bool stopping_ KORVAN_GUARDED_BY(mutex_) = false;
  // Refused since the last line; whether a post or the timer will look at
  // them; when the last line was written.
  std::size_t refused_ KORVAN_GUARDED_BY(mutex_) = 0;
  bool report_scheduled_ KORVAN_GUARDED_BY(mutex_) = false;
  std::optional<std::uint32_t> last_report_tick_ KORVAN_GUARDED_BY(mutex_);
  std::optional<MainLoop::TimerId> report_timer_;  // main thread only
};

}  // namespace korvan
