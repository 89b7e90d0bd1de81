// Compiled, never linked, by check.cmake: case 0 is correct locking and must
// compile without a warning; each other case is one mistake that
// -Werror=thread-safety must reject. A wrapper that lost its annotations
// makes a mistake compile; one with wrong annotations breaks case 0.
#include <chrono>

#include "common/mutex.h"

#ifndef KORVAN_CHECK_CASE
#error "KORVAN_CHECK_CASE must name the case"
#endif

namespace {

class Counter {
 public:
  void Add(int n) KORVAN_EXCLUDES(mutex_) {
    korvan::MutexLock lock(mutex_);
    AddLocked(n);
    changed_.NotifyAll();
  }

  int WaitFor(int at_least) KORVAN_EXCLUDES(mutex_) {
    korvan::MutexLock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
    while (value_ < at_least && changed_.WaitUntil(mutex_, deadline)) {
    }
    while (value_ < 0) changed_.Wait(mutex_);
    return value_ + *shared_;
  }

  void Note() KORVAN_EXCLUDES(log_mutex_) {
    korvan::RecursiveMutexLock lock(log_mutex_);
    ++notes_;
  }

  int Mistake();

 private:
  void AddLocked(int n) KORVAN_REQUIRES(mutex_) { value_ += n; }

  korvan::Mutex mutex_;
  korvan::CondVar changed_;
  int value_ KORVAN_GUARDED_BY(mutex_) = 0;
  int* shared_ KORVAN_PT_GUARDED_BY(mutex_) = nullptr;
  korvan::RecursiveMutex log_mutex_;
  int notes_ KORVAN_GUARDED_BY(log_mutex_) = 0;
};

#if KORVAN_CHECK_CASE == 0
int Counter::Mistake() {
  korvan::MutexLock lock(mutex_);
  return value_;
}
#elif KORVAN_CHECK_CASE == 1  // reads guarded data without the lock
int Counter::Mistake() { return value_; }
#elif KORVAN_CHECK_CASE == 2  // writes guarded data without the lock
int Counter::Mistake() {
  value_ = 1;
  return 0;
}
#elif KORVAN_CHECK_CASE == 3  // uses guarded data after the lock's scope
int Counter::Mistake() {
  { korvan::MutexLock lock(mutex_); }
  return value_;
}
#elif KORVAN_CHECK_CASE == 4  // calls a function that needs the lock without it
int Counter::Mistake() {
  AddLocked(1);
  return 0;
}
#elif KORVAN_CHECK_CASE == 5  // calls a function that takes the lock with it held
int Counter::Mistake() {
  korvan::MutexLock lock(mutex_);
  Add(1);
  return 0;
}
#elif KORVAN_CHECK_CASE == 6  // waits without holding the mutex
int Counter::Mistake() {
  changed_.Wait(mutex_);
  return 0;
}
#elif KORVAN_CHECK_CASE == 7  // reads through a guarded pointer without the lock
int Counter::Mistake() { return *shared_; }
#elif KORVAN_CHECK_CASE == 8  // writes data of a recursive mutex without it
int Counter::Mistake() {
  ++notes_;
  return 0;
}
#elif KORVAN_CHECK_CASE == 9  // returns with the mutex still held
int Counter::Mistake() {
  mutex_.Lock();
  return value_;
}
#else
#error "unknown KORVAN_CHECK_CASE"
#endif

}  // namespace

int CheckMain();
int CheckMain() {
  Counter counter;
  counter.Add(1);
  counter.Note();
  return counter.WaitFor(1) + counter.Mistake();
}
