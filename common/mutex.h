// Mutexes that clang's thread-safety analysis can follow. libstdc++'s
// std::mutex, lock_guard and condition_variable carry no annotations, so data
// guarded by them is invisible to -Wthread-safety; these thin wrappers add
// the annotations and nothing else (no extra state, no run-time checks).
//
//   korvan::Mutex mutex_;
//   int count_ KORVAN_GUARDED_BY(mutex_);
//   void Bump() KORVAN_EXCLUDES(mutex_) { korvan::MutexLock lock(mutex_); ++count_; }
//
// Waiting on a condition is an explicit loop with the mutex held, so that
// the analysis sees the guarded data read under the lock:
//
//   korvan::MutexLock lock(mutex_);
//   while (!ready_) changed_.Wait(mutex_);
//
// Thread rule: every type here may be used from any thread; a MutexLock
// belongs to the thread that made it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common/thread_annotations.h"

namespace korvan {

class CondVar;

class KORVAN_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() KORVAN_ACQUIRE() { mutex_.lock(); }
  void Unlock() KORVAN_RELEASE() { mutex_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// For the few places where a thread re-enters code that already holds the
// mutex. The analysis does not model re-entry: taking it twice within one
// function is reported, taking it again in a callee is not.
class KORVAN_CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void Lock() KORVAN_ACQUIRE() { mutex_.lock(); }
  void Unlock() KORVAN_RELEASE() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

// Holds `mutex` for its own lifetime, like std::lock_guard.
class KORVAN_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) KORVAN_ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexLock() KORVAN_RELEASE() { mutex_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

class KORVAN_SCOPED_CAPABILITY RecursiveMutexLock {
 public:
  explicit RecursiveMutexLock(RecursiveMutex& mutex) KORVAN_ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~RecursiveMutexLock() KORVAN_RELEASE() { mutex_.Unlock(); }
  RecursiveMutexLock(const RecursiveMutexLock&) = delete;
  RecursiveMutexLock& operator=(const RecursiveMutexLock&) = delete;

 private:
  RecursiveMutex& mutex_;
};

// A condition variable over korvan::Mutex. Every wait needs the mutex held;
// it is released while waiting and held again on return. Wake-ups may be
// spurious: callers wait in a loop over their condition.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Wait(Mutex& mutex) KORVAN_REQUIRES(mutex) {
    Adopted held(mutex);
    cv_.wait(held.lock);
  }
  // False once `deadline` has passed.
  bool WaitUntil(Mutex& mutex, std::chrono::steady_clock::time_point deadline) KORVAN_REQUIRES(mutex) {
    Adopted held(mutex);
    return cv_.wait_until(held.lock, deadline) == std::cv_status::no_timeout;
  }

  void NotifyOne() noexcept { cv_.notify_one(); }
  void NotifyAll() noexcept { cv_.notify_all(); }

 private:
  // Lends the caller's lock to std::condition_variable and takes it back, on
  // every way out: the caller's MutexLock still owns it and releases it.
  struct Adopted {
    explicit Adopted(Mutex& mutex) : lock(mutex.mutex_, std::adopt_lock) {}
    ~Adopted() { lock.release(); }
    Adopted(const Adopted&) = delete;
    Adopted& operator=(const Adopted&) = delete;
    std::unique_lock<std::mutex> lock;
  };

  std::condition_variable cv_;
};

}  // namespace korvan
