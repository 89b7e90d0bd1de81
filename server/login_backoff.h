// Slows down password guessing: failed logins are counted per account
// number and per peer address, and once either has failed more than a few
// times within a window, each further failure answer waits before it goes
// out. Only the answer waits, never the check, so the right password gets in
// at once even from an address or for an account under backoff.
//
// Each key keeps the times (in whole seconds) of its last few failures,
// enough to tell how far over the allowance it is, so the window slides
// rather than jumps. Both tables are bounded: an entry whose last failure
// left the window is dropped, and beyond the cap the entry that failed
// longest ago goes. A full table of 65536 entries takes about 8 MB.
//
// Thread rule: every method may run on any thread; `mutex_` guards both tables.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>

#include <boost/asio/ip/address.hpp>

#include "common/mutex.h"
#include "common/thread_annotations.h"

namespace korvan::server {

class LoginBackoff {
 public:
  using Clock = std::chrono::steady_clock;

  struct Limits {
    std::chrono::seconds window{600};
    unsigned free_failures = 5;  // within the window, answered at once
    std::chrono::milliseconds first_delay{1000};
    std::chrono::milliseconds max_delay{10000};
    std::size_t max_entries = 65536;  // per table
  };

  explicit LoginBackoff(std::function<Clock::time_point()> now = Clock::now);
  LoginBackoff(std::function<Clock::time_point()> now, Limits limits);

  // Counts a failed login of `account` from `address` and says how long its
  // answer waits: zero within the allowance, then first_delay, doubling with
  // each further failure up to max_delay; the larger of the two keys' delays.
  // An IPv4-mapped IPv6 address counts as its IPv4 address.
  std::chrono::milliseconds RecordFailure(std::int32_t account, const boost::asio::ip::address& address)
      KORVAN_EXCLUDES(mutex_);

  // Entries held in each table.
  std::size_t account_entries() const KORVAN_EXCLUDES(mutex_);
  std::size_t address_entries() const KORVAN_EXCLUDES(mutex_);

 private:
  // The free allowance plus the steps from the first delay to the cap, for
  // the default limits; a count beyond it is not needed, so not kept.
  static constexpr std::size_t kKeptFailures = 10;
  using Seconds = std::uint32_t;  // since construction
  using AddressKey = std::array<std::uint8_t, 16>;

  // An ordered map, not a hash: the keys come from the network, and a
  // sender choosing colliding keys must not make each look-up slow.
  template <class Key>
  class Table {
   public:
    // Records a failure at `now`; returns the failures of `key` within the
    // window, this one included (at most kKeptFailures).
    unsigned Record(const Key& key, Seconds now, const Limits& limits);
    std::size_t size() const { return map_.size(); }

   private:
    struct Entry {
      Key key;
      std::array<Seconds, kKeptFailures> times{};  // a ring; `next` is where the next one goes
      std::uint8_t next = 0;
      std::uint8_t stored = 0;
      Seconds newest() const { return times[(next + kKeptFailures - 1) % kKeptFailures]; }
    };
    void Prune(Seconds now, const Limits& limits);

    std::list<Entry> by_age_;  // the most recent failure first
    std::map<Key, typename std::list<Entry>::iterator> map_;
  };

  Seconds Now() const;
  std::chrono::milliseconds DelayFor(unsigned failures) const;

  const std::function<Clock::time_point()> now_;
  const Limits limits_;
  const Clock::time_point epoch_;
  mutable Mutex mutex_;
  Table<std::int32_t> accounts_ KORVAN_GUARDED_BY(mutex_);
  Table<AddressKey> addresses_ KORVAN_GUARDED_BY(mutex_);
};

}  // namespace korvan::server
