#include "tunnel/pixel_work_pool.h"

#include <algorithm>
#include <exception>
#include <system_error>

namespace korvan {

struct PixelWorkPool::Job {
  const PixelJob* work = nullptr;
  std::vector<std::uint8_t> result;
  bool finished = false;
};

PixelWorkPool::PixelWorkPool(std::size_t threads, std::function<void()> on_thread_start)
    : max_threads_(std::max<std::size_t>(1, threads)), on_thread_start_(std::move(on_thread_start)) {}

PixelWorkPool::~PixelWorkPool() {
  std::vector<std::thread> threads;
  {
    MutexLock lock(mutex_);
    stopping_ = true;
    threads.swap(threads_);
  }
  wake_.NotifyAll();
  for (std::thread& t : threads) t.join();
  // A caller may still be on its way out of Run.
  MutexLock lock(mutex_);
  while (callers_ > 0) done_.Wait(mutex_);
}

std::size_t PixelWorkPool::DefaultThreads() {
  const unsigned cores = std::thread::hardware_concurrency();
  return std::clamp<std::size_t>(cores > 1 ? cores - 1 : 1, 1, 4);
}

std::vector<std::uint8_t> PixelWorkPool::Run(const PixelJob& job) {
  Job queued;
  queued.work = &job;
  {
    MutexLock lock(mutex_);
    if (stopping_) return {};
    ++callers_;
    queue_.push_back(&queued);
    bool served = idle_ > 0 || threads_.size() >= max_threads_;
    if (!served) {
      try {
        threads_.emplace_back([this] { Serve(); });
        served = true;
      } catch (const std::system_error&) {
        served = !threads_.empty();  // the threads there are will get to it
      }
    }
    if (served) {
      wake_.NotifyOne();
      while (!queued.finished) done_.Wait(mutex_);
      LeaveRun();
      return std::move(queued.result);
    }
    queue_.erase(std::find(queue_.begin(), queue_.end(), &queued));
  }
  // No thread could be started: the job runs on the worker itself.
  std::vector<std::uint8_t> result = RunGuarded(job);
  MutexLock lock(mutex_);
  LeaveRun();
  return result;
}

void PixelWorkPool::LeaveRun() {
  --callers_;
  done_.NotifyAll();  // the destructor may wait for the last caller
}

std::vector<std::uint8_t> PixelWorkPool::RunGuarded(const PixelJob& job) {
  try {
    return job();
  } catch (const std::exception&) {
    return {};  // an empty result closes the worker's connection
  }
}

void PixelWorkPool::Serve() {
  if (on_thread_start_) on_thread_start_();
  for (;;) {
    Job* job = nullptr;
    {
      MutexLock lock(mutex_);
      while (queue_.empty() && !stopping_) {
        ++idle_;
        wake_.Wait(mutex_);
        --idle_;
      }
      // Jobs already queued still run at shutdown: their workers wait.
      if (queue_.empty()) return;
      job = queue_.front();
      queue_.pop_front();
    }
    std::vector<std::uint8_t> result = RunGuarded(*job->work);
    {
      MutexLock lock(mutex_);
      job->result = std::move(result);
      job->finished = true;
    }
    // The job's owner may be gone as soon as the lock is released; only the
    // pool's own condition is touched.
    done_.NotifyAll();
  }
}

}  // namespace korvan
