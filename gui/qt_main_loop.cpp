#include "gui/qt_main_loop.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

namespace korvan::gui {

QtMainLoop::QtMainLoop() : gui_thread_(std::this_thread::get_id()), receiver_(std::make_unique<QObject>()) {}

QtMainLoop::~QtMainLoop() {
  // The receiver takes its timers with it; wake-ups still queued for it
  // are dropped by Qt together with the object.
  timers_.clear();
  receiver_.reset();
}

void QtMainLoop::Wake() {
  if (wake_pending_.exchange(true)) return;
  QMetaObject::invokeMethod(
      receiver_.get(),
      [this] {
        // Cleared before the drain: work queued from now on finds the flag
        // clear and wakes again, so nothing waits behind a finished drain.
        wake_pending_.store(false);
        RunPending();
      },
      Qt::QueuedConnection);
}

void QtMainLoop::Invoke(const std::function<void()>& fn) {
  if (OnGuiThread()) {
    fn();
    return;
  }
  auto task = std::make_shared<Task>();
  task->fn = fn;
  bool ended = false;
  {
    MutexLock lock(mutex_);
    ended = ended_;
    if (!ended) queue_.push_back(task);
  }
  if (ended) {
    RecursiveMutexLock serial(after_end_mutex_);
    fn();
    return;
  }
  Wake();
  task->done.Wait();
}

void QtMainLoop::Post(std::function<void()> fn) {
  auto task = std::make_shared<Task>();
  task->fn = std::move(fn);
  {
    MutexLock lock(mutex_);
    queue_.push_back(std::move(task));
  }
  Wake();
}

void QtMainLoop::RunPending() {
  for (;;) {
    std::shared_ptr<Task> task;
    {
      MutexLock lock(mutex_);
      if (queue_.empty()) return;
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    task->fn();
    task->done.Set();
  }
}

QtMainLoop::TimerId QtMainLoop::StartTimer(std::chrono::milliseconds interval, std::function<void()> fn) {
  const TimerId id = next_timer_.fetch_add(1);
  if (OnGuiThread()) {
    AddTimer(id, interval, std::move(fn));
  } else {
    // Queued like any other work: a StopTimer that follows from the same
    // thread comes after it.
    Post([this, id, interval, fn = std::move(fn)]() mutable { AddTimer(id, interval, std::move(fn)); });
  }
  return id;
}

void QtMainLoop::StopTimer(TimerId id) {
  if (OnGuiThread()) {
    RemoveTimer(id);
  } else {
    Post([this, id] { RemoveTimer(id); });
  }
}

void QtMainLoop::AddTimer(TimerId id, std::chrono::milliseconds interval, std::function<void()> fn) {
  auto* timer = new QTimer(receiver_.get());
  timer->setInterval(interval);
  QObject::connect(timer, &QTimer::timeout, receiver_.get(), std::move(fn));
  timer->start();
  timers_[id] = timer;
}

void QtMainLoop::RemoveTimer(TimerId id) {
  const auto it = timers_.find(id);
  if (it == timers_.end()) return;
  if (QTimer* timer = it->second.data()) {
    timer->stop();
    // The timer's own work may be what stops it: deleted later, not under
    // its feet.
    timer->deleteLater();
  }
  timers_.erase(it);
}

void QtMainLoop::Run() {
  QCoreApplication::exec();
  RunPending();
}

void QtMainLoop::Quit() {
  // Queued, so that a Quit() before exec() still ends it as soon as it
  // starts, and one from a worker never touches the application object
  // from the wrong thread. exit(), not quit(): quit() first asks every
  // window to close, and the main window refuses (closing it only hides or
  // minimises it), which would cancel the end.
  QMetaObject::invokeMethod(QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void QtMainLoop::Finish() {
  {
    MutexLock lock(mutex_);
    ended_ = true;
  }
  RecursiveMutexLock serial(after_end_mutex_);
  RunPending();
}

}  // namespace korvan::gui
