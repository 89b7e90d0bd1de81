#include "platform/event_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <stdexcept>

namespace korvan {
namespace {

// The write end of the pipe that signal handlers use: one per process.
std::atomic<int> g_signal_pipe{-1};

void OnTerminationSignal(int signal_number) {
  const int fd = g_signal_pipe.load();
  if (fd >= 0) {
    const auto byte = static_cast<unsigned char>(signal_number);
    [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
  }
}

UniqueFd g_signal_read;
UniqueFd g_signal_write;

}  // namespace

EventLoop::EventLoop() : loop_thread_(std::this_thread::get_id()) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot create the event loop's pipe");
  wake_read_.reset(fds[0]);
  wake_write_.reset(fds[1]);
}

EventLoop::~EventLoop() {
  if (g_signal_pipe.load() >= 0) {
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    g_signal_pipe.store(-1);
  }
}

void EventLoop::Wake() {
  // One byte in the pipe is enough to wake the loop; more would only cost
  // system calls on both sides.
  if (wake_pending_.exchange(true)) return;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_write_.get(), &byte, 1);
}

void EventLoop::DrainWakePipe() {
  char buffer[256];
  while (::read(wake_read_.get(), buffer, sizeof buffer) == static_cast<ssize_t>(sizeof buffer)) {
  }
  // Cleared only once the pipe is empty: cleared earlier, a byte written
  // meanwhile would be read here while the flag stayed set, and no Wake()
  // would write again. A Wake() that still sees the flag set has queued its
  // work before this point, and RunPending() after the drain finds it.
  wake_pending_.store(false);
}

void EventLoop::Invoke(const std::function<void()>& fn) {
  if (OnLoopThread()) {
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

void EventLoop::Post(std::function<void()> fn) {
  auto task = std::make_shared<Task>();
  task->fn = std::move(fn);
  {
    MutexLock lock(mutex_);
    queue_.push_back(std::move(task));
  }
  Wake();
}

void EventLoop::RunPending() {
  for (;;) {
    std::shared_ptr<Task> task;
    {
      MutexLock lock(mutex_);
      if (queue_.empty()) return;
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    task->fn();
    // `task` keeps the flag alive until the waiter has been told.
    task->done.Set();
  }
}

EventLoop::TimerId EventLoop::StartTimer(std::chrono::milliseconds interval, std::function<void()> fn) {
  const TimerId id = next_timer_++;
  timers_.push_back({id, interval, std::chrono::steady_clock::now() + interval, std::move(fn)});
  return id;
}

void EventLoop::StopTimer(TimerId id) {
  std::erase_if(timers_, [id](const Timer& t) { return t.id == id; });
}

void EventLoop::QuitOnTerminationSignals() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot create the signal pipe");
  g_signal_read.reset(fds[0]);
  g_signal_write.reset(fds[1]);
  g_signal_pipe.store(fds[1]);
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

void EventLoop::Quit() {
  // The wake byte is written under the lock: the loop cannot see quit_ and
  // return (its owner may then destroy it, pipe and all) before the write
  // is done.
  MutexLock lock(mutex_);
  quit_ = true;
  Wake();
}

int EventLoop::Run() {
  int ended_by = 0;
  for (;;) {
    RunPending();
    {
      MutexLock lock(mutex_);
      if (quit_) break;
    }
    const auto now = std::chrono::steady_clock::now();
    int timeout = -1;
    // A timer's work may start or stop timers: run the due ones by id.
    std::vector<TimerId> due;
    for (Timer& t : timers_) {
      if (t.due <= now) {
        t.due = now + t.interval;
        due.push_back(t.id);
      }
    }
    for (const TimerId id : due) {
      const auto it = std::find_if(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; });
      if (it == timers_.end()) continue;
      const std::function<void()> fn = it->fn;
      fn();
    }
    for (const Timer& t : timers_) {
      const auto wait = std::max<long long>(
          0, std::chrono::duration_cast<std::chrono::milliseconds>(t.due - now).count());
      timeout = timeout < 0 ? static_cast<int>(wait) : std::min(timeout, static_cast<int>(wait));
    }
    pollfd fds[2] = {{wake_read_.get(), POLLIN, 0}, {g_signal_read.get(), POLLIN, 0}};
    const int count = g_signal_read ? 2 : 1;
    if (::poll(fds, static_cast<nfds_t>(count), timeout) < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) DrainWakePipe();
    if (count == 2 && fds[1].revents != 0) {
      unsigned char signal_number = 0;
      if (::read(g_signal_read.get(), &signal_number, 1) == 1) ended_by = signal_number;
      break;
    }
  }
  {
    MutexLock lock(mutex_);
    quit_ = false;
  }
  RunPending();
  return ended_by;
}

void EventLoop::Finish() {
  {
    MutexLock lock(mutex_);
    ended_ = true;
  }
  RecursiveMutexLock serial(after_end_mutex_);
  RunPending();
}

}  // namespace korvan
