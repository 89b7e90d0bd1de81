// The threads that run FTP transfers.
//
// libcurl's FTP code waits inside its calls in places (the reply that ends
// a transfer, QUIT), even under its multi interface, so a transfer gets a
// thread of its own for its whole length: never an event-loop thread, where
// a slow FTP server would stall every other session, nor the packing pool.
// At most `max_transfers` run at once; more are refused at once rather than
// queued, so that one slow server cannot hold back the next request.
//
// Thread rule: TryStart and stopping() from any thread; Shutdown from the
// owner (the destructor calls it). `mutex_` guards the count of running jobs.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

#include <boost/asio/thread_pool.hpp>

#include "common/mutex.h"
#include "common/thread_annotations.h"

namespace korvan::server {

inline constexpr std::size_t kMaxFtpTransfers = 16;

class FtpPool {
 public:
  explicit FtpPool(std::size_t max_transfers = kMaxFtpTransfers);
  ~FtpPool();
  FtpPool(const FtpPool&) = delete;
  FtpPool& operator=(const FtpPool&) = delete;

  // Runs `job` on a thread of the pool; false when `max_transfers` jobs run
  // already or the pool shuts down.
  bool TryStart(std::function<void()> job) KORVAN_EXCLUDES(mutex_);
  // True once Shutdown began: running jobs end as soon as they can.
  bool stopping() const { return stopping_.load(); }
  // Tells the jobs to end and waits for them. Idempotent.
  void Shutdown();

 private:
  const std::size_t max_;
  std::atomic<bool> stopping_{false};
  Mutex mutex_;
  std::size_t running_ KORVAN_GUARDED_BY(mutex_) = 0;
  boost::asio::thread_pool threads_;
};

}  // namespace korvan::server
