// How many tunnel connections each account has open, so that an account
// cannot open more than its limit.
//
// Thread rule: every method, and a Claim's destruction, may run on any
// thread; `mutex_` guards the counts.
#pragma once

#include <cstdint>
#include <map>
#include <optional>

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

}  // namespace korvan::server
