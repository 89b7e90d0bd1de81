// How many tunnel connections each account has open, so that an account
// cannot open more than its limit; and how many of each peer address are
// still before their admission, so that one address cannot hold the server's
// connections with openings that never come.
//
// Thread rule: every method, and a Claim's destruction, may run on any
// thread; `mutex_` guards the counts.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "common/mutex.h"
#include "common/thread_annotations.h"

namespace korvan::server {

class ConnectionRegistry {
 public:
  // One connection slot of one account, given back when destroyed.
  class Claim {
   public:
    Claim(ConnectionRegistry* registry, std::int32_t id) : registry_(registry), id_(id) {}
    Claim(Claim&& other) noexcept : registry_(other.registry_), id_(other.id_) { other.registry_ = nullptr; }
    Claim& operator=(Claim&&) = delete;
    Claim(const Claim&) = delete;
    ~Claim();

   private:
    ConnectionRegistry* registry_;
    std::int32_t id_;
  };

  // A slot when the account has fewer than `limit` connections open.
  std::optional<Claim> TryClaim(std::int32_t id, unsigned limit) KORVAN_EXCLUDES(mutex_);
  unsigned Count(std::int32_t id) const KORVAN_EXCLUDES(mutex_);

 private:
  void Release(std::int32_t id) KORVAN_EXCLUDES(mutex_);

  mutable Mutex mutex_;
  std::map<std::int32_t, unsigned> open_ KORVAN_GUARDED_BY(mutex_);
};

// Connections per peer address that are not yet admitted or refused. An
// IPv4-mapped IPv6 address counts as its IPv4 address. Refusals are logged
// at most once a second per address, each line with the number refused
// since the one before.
class PendingRegistry {
 public:
  using Clock = std::chrono::steady_clock;
  using Key = std::array<std::uint8_t, 16>;

  // One pending connection of one address, given back when destroyed.
  class Claim {
   public:
    Claim(PendingRegistry* registry, const Key& key) : registry_(registry), key_(key) {}
    Claim(Claim&& other) noexcept : registry_(other.registry_), key_(other.key_) { other.registry_ = nullptr; }
    Claim& operator=(Claim&&) = delete;
    Claim(const Claim&) = delete;
    ~Claim();

   private:
    PendingRegistry* registry_;
    Key key_;
  };

  // A claim when `address` has fewer than `limit` pending connections; else
  // the refusal is counted (and logged when a line is due).
  std::optional<Claim> TryClaim(const boost::asio::ip::address& address, unsigned limit) KORVAN_EXCLUDES(mutex_);
  unsigned Count(const boost::asio::ip::address& address) const KORVAN_EXCLUDES(mutex_);
  // Addresses with an entry (pending connections, or refusals not yet reported).
  std::size_t Entries() const KORVAN_EXCLUDES(mutex_);

 private:
  struct Entry {
    unsigned pending = 0;
    unsigned refused = 0;  // since the last line
    std::optional<Clock::time_point> last_line;
  };
  static Key KeyOf(const boost::asio::ip::address& address);
  void Release(const Key& key) KORVAN_EXCLUDES(mutex_);
  // Drops entries without pending connections whose last line is a second
  // old, adding a line for the refusals they still hold. At most once a second.
  void Sweep(Clock::time_point now, std::vector<std::string>& lines) KORVAN_REQUIRES(mutex_);

  mutable Mutex mutex_;
  std::map<Key, Entry> entries_ KORVAN_GUARDED_BY(mutex_);
  Clock::time_point last_sweep_ KORVAN_GUARDED_BY(mutex_){};
};

}  // namespace korvan::server
