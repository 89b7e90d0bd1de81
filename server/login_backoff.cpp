#include "server/login_backoff.h"

#include <algorithm>

namespace korvan::server {

namespace {

std::array<std::uint8_t, 16> KeyOf(const boost::asio::ip::address& address) {
  if (address.is_v4()) return boost::asio::ip::make_address_v6(boost::asio::ip::v4_mapped, address.to_v4()).to_bytes();
  return address.to_v6().to_bytes();
}

}  // namespace

LoginBackoff::LoginBackoff(std::function<Clock::time_point()> now) : LoginBackoff(std::move(now), Limits{}) {}

LoginBackoff::LoginBackoff(std::function<Clock::time_point()> now, Limits limits)
    : now_(std::move(now)), limits_(limits), epoch_(now_()) {}

LoginBackoff::Seconds LoginBackoff::Now() const {
  const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now_() - epoch_).count();
  return static_cast<Seconds>(std::max<decltype(elapsed)>(elapsed, 0));
}

std::chrono::milliseconds LoginBackoff::DelayFor(unsigned failures) const {
  if (failures <= limits_.free_failures) return std::chrono::milliseconds{0};
  std::chrono::milliseconds delay = limits_.first_delay;
  for (unsigned over = failures - limits_.free_failures; over > 1 && delay < limits_.max_delay; --over) delay *= 2;
  return std::min(delay, limits_.max_delay);
}

std::chrono::milliseconds LoginBackoff::RecordFailure(std::int32_t account, const boost::asio::ip::address& address) {
  const Seconds now = Now();
  MutexLock lock(mutex_);
  const unsigned by_account = accounts_.Record(account, now, limits_);
  const unsigned by_address = addresses_.Record(KeyOf(address), now, limits_);
  return DelayFor(std::max(by_account, by_address));
}

std::size_t LoginBackoff::account_entries() const {
  MutexLock lock(mutex_);
  return accounts_.size();
}

std::size_t LoginBackoff::address_entries() const {
  MutexLock lock(mutex_);
  return addresses_.size();
}

template <class Key>
void LoginBackoff::Table<Key>::Prune(Seconds now, const Limits& limits) {
  const auto window = static_cast<Seconds>(limits.window.count());
  while (!by_age_.empty() && now - by_age_.back().newest() >= window) {
    map_.erase(by_age_.back().key);
    by_age_.pop_back();
  }
}

template <class Key>
unsigned LoginBackoff::Table<Key>::Record(const Key& key, Seconds now, const Limits& limits) {
  Prune(now, limits);
  auto found = map_.find(key);
  if (found == map_.end()) {
    // The oldest goes first, so the new entry (at the front) always stays.
    if (map_.size() >= std::max<std::size_t>(limits.max_entries, 1)) {
      map_.erase(by_age_.back().key);
      by_age_.pop_back();
    }
    by_age_.push_front(Entry{key});
    found = map_.emplace(key, by_age_.begin()).first;
  } else {
    by_age_.splice(by_age_.begin(), by_age_, found->second);
  }
  Entry& entry = *found->second;
  entry.times[entry.next] = now;
  entry.next = static_cast<std::uint8_t>((entry.next + 1) % kKeptFailures);
  if (entry.stored < kKeptFailures) ++entry.stored;
  const auto window = static_cast<Seconds>(limits.window.count());
  unsigned within = 0;
  for (std::size_t i = 0; i < entry.stored; ++i) {
    if (now - entry.times[i] < window) ++within;
  }
  return within;
}

}  // namespace korvan::server
