#include "server/connection_registry.h"

namespace korvan::server {

ConnectionRegistry::Claim::~Claim() {
  if (registry_ != nullptr) registry_->Release(id_);
}

std::optional<ConnectionRegistry::Claim> ConnectionRegistry::TryClaim(std::int32_t id, unsigned limit) {
  MutexLock lock(mutex_);
  unsigned& count = open_[id];
  if (count >= limit) return std::nullopt;
  ++count;
  return std::optional<Claim>(std::in_place, this, id);
}

unsigned ConnectionRegistry::Count(std::int32_t id) const {
  MutexLock lock(mutex_);
  const auto it = open_.find(id);
  return it == open_.end() ? 0 : it->second;
}

void ConnectionRegistry::Release(std::int32_t id) {
  MutexLock lock(mutex_);
  const auto it = open_.find(id);
  if (it != open_.end() && --it->second == 0) open_.erase(it);
}

}  // namespace korvan::server
