#include "server/ftp_pool.h"

#include <boost/asio/post.hpp>

namespace korvan::server {

FtpPool::FtpPool(std::size_t max_transfers) : max_(max_transfers), threads_(max_transfers) {}

FtpPool::~FtpPool() { Shutdown(); }

bool FtpPool::TryStart(std::function<void()> job) {
  {
    MutexLock lock(mutex_);
    if (stopping_ || running_ >= max_) return false;
    ++running_;
  }
  boost::asio::post(threads_, [this, job = std::move(job)] {
    try {
      job();
    } catch (...) {  // out of memory: the job's channel is left to its owner's cancel
    }
    MutexLock lock(mutex_);
    --running_;
  });
  return true;
}

void FtpPool::Shutdown() {
  stopping_ = true;
  threads_.join();
}

}  // namespace korvan::server
