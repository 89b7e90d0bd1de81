// The main thread's loop of window mode: the client core's MainLoop over
// the Qt event loop of the GUI thread.
//
// Thread rule: built, run and destroyed on the GUI thread, after the
// QApplication. Invoke, Post, StartTimer, StopTimer and Quit may be called
// from any thread; RunPending runs on the GUI thread. Handed-over work waits
// in our own queue under `mutex_` (with the ended flag); one queued Qt call at a time wakes the
// GUI thread to drain it (`wake_pending_`), so a burst of hand-offs costs
// one Qt event, not one each. After Finish(), `after_end_mutex_` lets one
// caller of Invoke run its work at a time (recursive: that work may Invoke
// again).
#pragma once

#include <QObject>
#include <QPointer>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "platform/one_shot_event.h"
#include "shell/platform_services.h"

class QTimer;

namespace korvan::gui {

class QtMainLoop : public MainLoop {
 public:
  QtMainLoop();
  ~QtMainLoop() override;
  QtMainLoop(const QtMainLoop&) = delete;
  QtMainLoop& operator=(const QtMainLoop&) = delete;

  // Runs `fn` on the GUI thread and waits for it; on that thread, at once.
  void Invoke(const std::function<void()>& fn) override KORVAN_EXCLUDES(mutex_);
  void Post(std::function<void()> fn) override KORVAN_EXCLUDES(mutex_);
  // Runs what other threads have handed over so far (the pump that
  // ConnectionWorkers::EndAll turns while the Qt loop no longer runs).
  void RunPending() override KORVAN_EXCLUDES(mutex_);

  TimerId StartTimer(std::chrono::milliseconds interval, std::function<void()> fn) override;
  void StopTimer(TimerId id) override;

  // Runs the Qt loop until Quit(); a Quit() that came before Run() ends
  // the loop as soon as it starts.
  void Run() KORVAN_EXCLUDES(mutex_);
  void Quit() override;
  // After the tear-down: from now on Invoke runs its work on the caller's
  // thread, one at a time, so that workers still ending never wait for a
  // loop that no longer runs.
  void Finish() KORVAN_EXCLUDES(mutex_);

 private:
  struct Task {
    std::function<void()> fn;
    OneShotEvent done;  // waited on by this task's caller alone
  };

  void Wake();
  bool OnGuiThread() const { return std::this_thread::get_id() == gui_thread_; }
  // On the GUI thread.
  void AddTimer(TimerId id, std::chrono::milliseconds interval, std::function<void()> fn);
  void RemoveTimer(TimerId id);

  const std::thread::id gui_thread_;
  // Lives on the GUI thread; receives the wake-ups and parents the timers.
  std::unique_ptr<QObject> receiver_;
  std::atomic<bool> wake_pending_{false};
  Mutex mutex_;
  std::deque<std::shared_ptr<Task>> queue_ KORVAN_GUARDED_BY(mutex_);
  bool ended_ KORVAN_GUARDED_BY(mutex_) = false;
  RecursiveMutex after_end_mutex_;
  std::map<TimerId, QPointer<QTimer>> timers_;  // GUI thread only
  std::atomic<TimerId> next_timer_{1};
};

}  // namespace korvan::gui
