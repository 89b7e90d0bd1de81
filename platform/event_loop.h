// The main thread's event loop for service mode and tests: work handed over
// by other threads, repeating timers, and an orderly quit on SIGTERM/SIGINT.
//
// Thread rule: Invoke, Post and Quit may be called from any thread; Run,
// StartTimer, StopTimer and RunPending belong to the thread that created the
// loop, which is the thread that runs it. Signal handlers only write one
// byte to a pipe; the loop does the work. `mutex_` guards the queue of
// handed-over work and the quit and ended flags; the timers belong to the
// loop's thread alone. After Finish(), `after_end_mutex_` lets one caller of
// Invoke run its work at a time (recursive: that work may Invoke again).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "platform/fd_io.h"
#include "platform/one_shot_event.h"
#include "shell/platform_services.h"

namespace korvan {

class EventLoop : public MainLoop {
 public:
  EventLoop();
  ~EventLoop() override;
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Runs `fn` on the loop's thread and waits for it; on that thread, at once.
  void Invoke(const std::function<void()>& fn) override KORVAN_EXCLUDES(mutex_);
  // Queues `fn` without waiting.
  void Post(std::function<void()> fn) override KORVAN_EXCLUDES(mutex_);
  // Runs what other threads have handed over so far.
  void RunPending() override KORVAN_EXCLUDES(mutex_);

  // Calls `fn` every `interval` on the loop's thread while the loop runs.
  TimerId StartTimer(std::chrono::milliseconds interval, std::function<void()> fn) override;
  void StopTimer(TimerId id) override;

  // Makes SIGTERM and SIGINT end Run() (one loop per process may do so).
  void QuitOnTerminationSignals();

  // Runs until Quit(); returns the number of the signal that ended it, or 0.
  int Run() KORVAN_EXCLUDES(mutex_);
  void Quit() override KORVAN_EXCLUDES(mutex_);
  // After the tear-down: from now on Invoke runs its work on the caller's
  // thread, one at a time, so that workers still ending never wait for a
  // loop that no longer runs.
  void Finish() KORVAN_EXCLUDES(mutex_);

 private:
  struct Task {
    std::function<void()> fn;
    OneShotEvent done;  // waited on by this task's caller alone
  };
  struct Timer {
    TimerId id;
    std::chrono::milliseconds interval;
    std::chrono::steady_clock::time_point due;
    std::function<void()> fn;
  };

  void Wake();
  void DrainWakePipe();
  bool OnLoopThread() const { return std::this_thread::get_id() == loop_thread_; }

  const std::thread::id loop_thread_;
  UniqueFd wake_read_;
  UniqueFd wake_write_;
  std::atomic<bool> wake_pending_{false};  // a byte is in the wake pipe
  Mutex mutex_;
  std::deque<std::shared_ptr<Task>> queue_ KORVAN_GUARDED_BY(mutex_);
  bool ended_ KORVAN_GUARDED_BY(mutex_) = false;
  bool quit_ KORVAN_GUARDED_BY(mutex_) = false;
  RecursiveMutex after_end_mutex_;
  std::vector<Timer> timers_;
  TimerId next_timer_ = 1;
};

}  // namespace korvan
