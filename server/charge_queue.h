// Settled traffic on its way to the account store.
//
// Sessions hand their charges here and go on at once; one thread writes
// them in batches, so a slow or absent database never holds a session. Each
// batch gets its keys when it is first written and keeps them: a batch that
// failed (the database is down, or its answer was lost) is written again,
// with the same keys, until it lands, and the store applies each key once.
// Nothing is lost and nothing is charged twice.
//
// Charges that have not landed when the queue is destroyed are written to
// the spool file, when there is one, and read back (keys and all) by the
// next queue on the same file.
//
// Thread rule: Add, Flush and Waiting may be called from any thread;
// `mutex_` guards the pending charges and the batch in flight, and the
// writer thread takes a batch out under it but writes it without it.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "server/account_store.h"

namespace korvan::server {

class ChargeQueue {
 public:
  using Clock = std::chrono::steady_clock;
  struct Options {
    // While charges keep coming, those added within this time go out in one
    // batch; the first after a quiet time goes at once.
    std::chrono::milliseconds interval{50};
    // After a failed write the next try waits twice as long, up to this.
    std::chrono::milliseconds longest_retry{5000};
    // At most this many records per transaction.
    std::size_t batch_records = 256;
    // Where charges that could not be written are kept over a restart; none: not kept.
    std::filesystem::path spool;
    // How long the destructor keeps trying before it spools what is left.
    std::chrono::milliseconds final_flush{10000};
  };
  // Told after every write: how many records landed (0 on failure) and the
  // store's complaint, if any.
  using WriteReport = std::function<void(std::size_t landed, const std::string& failure)>;

  // Reads the spool, when there is one, and starts the writer. Throws
  // StoreError when the spool cannot be read.
  ChargeQueue(AccountStore& store, Options options);
  ~ChargeQueue();
  ChargeQueue(const ChargeQueue&) = delete;
  ChargeQueue& operator=(const ChargeQueue&) = delete;

  void OnWrite(WriteReport report) KORVAN_EXCLUDES(mutex_);
  void Add(std::int32_t id, const Traffic& traffic, bool charge) KORVAN_EXCLUDES(mutex_);
  // Waits until everything added before the call has landed; false when
  // `limit` passed first.
  bool Flush(Clock::duration limit) KORVAN_EXCLUDES(mutex_);
  // Records not yet in the store.
  std::size_t Waiting() const KORVAN_EXCLUDES(mutex_);

 private:
  using PendingKey = std::pair<std::int32_t, bool>;  // account, charged

  void Run() KORVAN_EXCLUDES(mutex_);
  // Turns the pending charges into batches with fresh keys.
  void SealPending() KORVAN_REQUIRES(mutex_);
  std::string NextKey() KORVAN_REQUIRES(mutex_);
  std::size_t RecordsWaiting() const KORVAN_REQUIRES(mutex_);
  void ReadSpool() KORVAN_REQUIRES(mutex_);
  void WriteSpool() KORVAN_REQUIRES(mutex_);

  AccountStore& store_;
  const Options options_;
  const std::string key_prefix_;  // random, so that keys differ across servers and restarts

  mutable Mutex mutex_;
  CondVar changed_;
  std::map<PendingKey, Traffic> pending_ KORVAN_GUARDED_BY(mutex_);
  std::deque<std::vector<ChargeRecord>> sealed_ KORVAN_GUARDED_BY(mutex_);  // front: in flight or next
  std::uint64_t next_key_ KORVAN_GUARDED_BY(mutex_) = 0;
  std::uint64_t added_ KORVAN_GUARDED_BY(mutex_) = 0;    // Add calls so far
  std::uint64_t landed_ KORVAN_GUARDED_BY(mutex_) = 0;   // of them, how many are in the store
  std::uint64_t pending_adds_ KORVAN_GUARDED_BY(mutex_) = 0;  // Add calls merged into `pending_`
  // For each sealed batch, the count of Add calls it completes once landed.
  std::deque<std::uint64_t> batch_adds_ KORVAN_GUARDED_BY(mutex_);
  // Batches at the front of `sealed_` that came from the spool; the file
  // goes once they have all landed.
  std::size_t spooled_batches_ KORVAN_GUARDED_BY(mutex_) = 0;
  bool stopping_ KORVAN_GUARDED_BY(mutex_) = false;
  Clock::time_point give_up_ KORVAN_GUARDED_BY(mutex_){};  // while stopping: when to spool the rest
  bool flush_wanted_ KORVAN_GUARDED_BY(mutex_) = false;
  WriteReport report_ KORVAN_GUARDED_BY(mutex_);
  std::thread writer_;
};

}  // namespace korvan::server
