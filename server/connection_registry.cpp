#include "server/connection_registry.h"

#include <algorithm>

#include "server/log.h"

namespace korvan::server {

ConnectionRegistry::Claim::~Claim() {
  if (registry_ != nullptr) registry_->Release(id_);
}

namespace {

// A lease that falls this far behind would expire while still held: the
// renewals come three times per lease time, and no more often than this.
constexpr std::chrono::milliseconds kShortestRenewal{200};

}  // namespace

ConnectionRegistry::~ConnectionRegistry() {
  if (!renewer_.joinable()) return;
  {
    MutexLock lock(mutex_);
    stopping_ = true;
    changed_.NotifyAll();
  }
  renewer_.join();
  try {
    leases_->Renew(server_, {});
  } catch (const std::exception& e) {
    Log("connection leases not given back (they expire by themselves): " + std::string(e.what()));
  }
}

void ConnectionRegistry::Share(LeaseStore& leases, std::string server) {
  leases_ = &leases;
  server_ = std::move(server);
  renewer_ = std::thread([this] { RenewLeases(); });
}

std::optional<ConnectionRegistry::Claim> ConnectionRegistry::TryClaim(std::int32_t id, unsigned limit) {
  unsigned count = 0;
  {
    MutexLock lock(mutex_);
    unsigned& open = open_[id];
    if (open >= limit) return std::nullopt;
    count = ++open;
  }
  // From here the slot is ours; a lease the store refuses gives it back.
  Claim claim(this, id);
  if (leases_ != nullptr) {
    MutexLock talking(lease_mutex_);
    if (!leases_->TryHold(id, server_, count, limit)) return std::nullopt;
  }
  return std::optional<Claim>(std::move(claim));
}

void ConnectionRegistry::RenewLeases() {
  using std::chrono::steady_clock;
  const steady_clock::duration period = std::max<steady_clock::duration>(kShortestRenewal, leases_->lease_time() / 3);
  bool failing = false;
  for (;;) {
    try {
      MutexLock talking(lease_mutex_);
      std::map<std::int32_t, unsigned> counts;
      {
        MutexLock lock(mutex_);
        counts = open_;
        released_ = false;
      }
      leases_->Renew(server_, counts);
      if (failing) Log("connection leases renewed again");
      failing = false;
    } catch (const std::exception& e) {
      if (!failing) Log("cannot renew the connection leases: " + std::string(e.what()));
      failing = true;
    }
    MutexLock lock(mutex_);
    // Renewed in time, and a released slot given back soon (a short pause
    // gathers the releases of a burst into one renewal), so that the other
    // servers may use it.
    const auto due = steady_clock::now() + period;
    while (!stopping_ && !released_ && steady_clock::now() < due) changed_.WaitUntil(mutex_, due);
    if (released_) {
      const auto gathered = steady_clock::now() + kShortestRenewal;
      while (!stopping_ && steady_clock::now() < gathered) changed_.WaitUntil(mutex_, gathered);
    }
    if (stopping_) return;
  }
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
  if (leases_ != nullptr) {
    released_ = true;
    changed_.NotifyAll();
  }
}

}  // namespace korvan::server

namespace korvan::server {

namespace {

constexpr std::chrono::seconds kLineInterval{1};

std::string RefusalLine(const PendingRegistry::Key& key, unsigned refused) {
  const auto v6 = boost::asio::ip::address_v6(key);
  const std::string name = v6.is_v4_mapped()
                               ? boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6).to_string()
                               : v6.to_string();
  return std::to_string(refused) + (refused == 1 ? " connection" : " connections") + " from " + name +
         " refused: too many before their opening";
}

}  // namespace

PendingRegistry::Claim::~Claim() {
  if (registry_ != nullptr) registry_->Release(key_);
}

PendingRegistry::Key PendingRegistry::KeyOf(const boost::asio::ip::address& address) {
  if (address.is_v4()) return boost::asio::ip::make_address_v6(boost::asio::ip::v4_mapped, address.to_v4()).to_bytes();
  return address.to_v6().to_bytes();
}

std::optional<PendingRegistry::Claim> PendingRegistry::TryClaim(const boost::asio::ip::address& address,
                                                                unsigned limit) {
  const Key key = KeyOf(address);
  const auto now = Clock::now();
  std::vector<std::string> lines;
  std::optional<Claim> claim;
  {
    MutexLock lock(mutex_);
    Sweep(now, lines);
    Entry& entry = entries_[key];
    if (entry.pending < limit) {
      ++entry.pending;
      claim.emplace(this, key);
    } else {
      ++entry.refused;
      if (!entry.last_line || now - *entry.last_line >= kLineInterval) {
        lines.push_back(RefusalLine(key, entry.refused));
        entry.refused = 0;
        entry.last_line = now;
      }
    }
  }
  // Outside the lock: a slow standard error must not hold up other threads' claims.
  for (const auto& line : lines) Log(line);
  return claim;
}

unsigned PendingRegistry::Count(const boost::asio::ip::address& address) const {
  MutexLock lock(mutex_);
  const auto it = entries_.find(KeyOf(address));
  return it == entries_.end() ? 0 : it->second.pending;
}

std::size_t PendingRegistry::Entries() const {
  MutexLock lock(mutex_);
  return entries_.size();
}

void PendingRegistry::Release(const Key& key) {
  const auto now = Clock::now();
  MutexLock lock(mutex_);
  const auto it = entries_.find(key);
  if (it == entries_.end()) return;
  Entry& entry = it->second;
  if (entry.pending > 0) --entry.pending;
  // An entry with refusals to report, or a line within the last second,
  // stays until a sweep, so that the lines keep their pace.
  if (entry.pending == 0 && entry.refused == 0 && (!entry.last_line || now - *entry.last_line >= kLineInterval)) {
    entries_.erase(it);
  }
}

void PendingRegistry::Sweep(Clock::time_point now, std::vector<std::string>& lines) {
  if (now - last_sweep_ < kLineInterval) return;
  last_sweep_ = now;
  for (auto it = entries_.begin(); it != entries_.end();) {
    const Entry& entry = it->second;
    if (entry.pending == 0 && (!entry.last_line || now - *entry.last_line >= kLineInterval)) {
      if (entry.refused > 0) lines.push_back(RefusalLine(it->first, entry.refused));
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace korvan::server
