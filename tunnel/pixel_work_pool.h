// A few threads for the workers' pixel work. Twenty pictures of one page
// must not become twenty threads drawing at once: on a two-core machine
// those would leave the main thread and every other connection waiting for
// a core. The pool keeps the pixel work to fewer threads than there are
// cores, and its threads may run at a lower priority (`on_thread_start`).
// Threads start with the first job, so a client that never draws has none.
//
// Thread rule: Run from any thread; the destructor waits for the jobs
// already queued and for their callers to leave Run, and must not run on a
// pool thread.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "tunnel/pixel_work.h"

namespace korvan {

class PixelWorkPool : public PixelWork {
 public:
  // `threads` of at least one; `on_thread_start` runs first on each.
  explicit PixelWorkPool(std::size_t threads, std::function<void()> on_thread_start = {});
  ~PixelWorkPool() override;
  PixelWorkPool(const PixelWorkPool&) = delete;
  PixelWorkPool& operator=(const PixelWorkPool&) = delete;

  std::vector<std::uint8_t> Run(const PixelJob& job) override KORVAN_EXCLUDES(mutex_);

  // One thread fewer than the machine has cores, at least one, at most four.
  static std::size_t DefaultThreads();

 private:
  struct Job;
  void Serve() KORVAN_EXCLUDES(mutex_);
  void LeaveRun() KORVAN_REQUIRES(mutex_);
  static std::vector<std::uint8_t> RunGuarded(const PixelJob& job);

  const std::size_t max_threads_;
  const std::function<void()> on_thread_start_;
  Mutex mutex_;
  CondVar wake_;  // a job queued, or stopping
  CondVar done_;  // a job finished
  std::deque<Job*> queue_ KORVAN_GUARDED_BY(mutex_);
  std::vector<std::thread> threads_ KORVAN_GUARDED_BY(mutex_);
  std::size_t idle_ KORVAN_GUARDED_BY(mutex_) = 0;
  std::size_t callers_ KORVAN_GUARDED_BY(mutex_) = 0;  // inside Run
  bool stopping_ KORVAN_GUARDED_BY(mutex_) = false;
};

}  // namespace korvan
