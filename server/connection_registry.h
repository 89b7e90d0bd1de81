// How many tunnel connections each account has open. Safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

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
  std::optional<Claim> TryClaim(std::int32_t id, unsigned limit);
  unsigned Count(std::int32_t id) const;

 private:
  void Release(std::int32_t id);

  mutable std::mutex mutex_;
  std::map<std::int32_t, unsigned> open_;
};

}  // namespace korvan::server
