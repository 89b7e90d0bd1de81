// How many tunnel connections each account has open, so that an account
// cannot open more than its limit (over every server of the store, once the
// registry shares its counts through the store's leases); and how many of each peer address are
// still before their admission, so that one address cannot hold the server's
// connections with openings that never come.
//
// Thread rule: every method, and a Claim's destruction, may run on any
// thread; `mutex_` guards the counts. A shared registry renews its leases
// on a thread of its own, which takes a copy of the counts under the mutex
// and talks to the store without it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "server/account_store.h"

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

  ConnectionRegistry() = default;
  // Stops the renewals and gives this server's leases back.
  ~ConnectionRegistry();
  ConnectionRegistry(const ConnectionRegistry&) = delete;
  ConnectionRegistry& operator=(const ConnectionRegistry&) = delete;

  // From now on every claim is also a lease of `server` in `leases`, and a
  // thread renews them. Call once, before the first claim.
  void Share(LeaseStore& leases, std::string server) KORVAN_EXCLUDES(mutex_);

  // A slot when the account has fewer than `limit` connections open. When
  // shared, this asks the store, which may take a while: call it off the
  // event loop. Throws StoreError when the store cannot tell.
  std::optional<Claim> TryClaim(std::int32_t id, unsigned limit) KORVAN_EXCLUDES(mutex_);
  unsigned Count(std::int32_t id) const KORVAN_EXCLUDES(mutex_);

 private:
  void Release(std::int32_t id) KORVAN_EXCLUDES(mutex_);
  void RenewLeases() KORVAN_EXCLUDES(mutex_);

  // Taken around every talk with the lease store, so that a renewal built
  // from older counts never overwrites a lease that a claim just raised.
  Mutex lease_mutex_ KORVAN_ACQUIRED_BEFORE(mutex_);
  mutable Mutex mutex_;
  CondVar changed_;
  std::map<std::int32_t, unsigned> open_ KORVAN_GUARDED_BY(mutex_);
  LeaseStore* leases_ = nullptr;  // set once by Share, before any claim
  std::string server_;
  bool released_ KORVAN_GUARDED_BY(mutex_) = false;  // counts fell since the last renewal
  bool stopping_ KORVAN_GUARDED_BY(mutex_) = false;
  std::thread renewer_;
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
