#include "platform/one_shot_event.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace korvan {
namespace {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

long Futex(std::atomic<std::uint32_t>& word, int op, std::uint32_t value) {
  return ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op, value, nullptr, nullptr, 0);
}

}  // namespace

void OneShotEvent::Set() {
  // Only a waiter that announced itself can be asleep.
  if (state_.exchange(kSet, std::memory_order_acq_rel) == kSleeper) Futex(state_, FUTEX_WAKE_PRIVATE, 1);
}

void OneShotEvent::Wait() {
  for (;;) {
    std::uint32_t state = state_.load(std::memory_order_acquire);
    if (state == kSet) return;
    if (state == kUnset &&
        !state_.compare_exchange_weak(state, kSleeper, std::memory_order_acq_rel, std::memory_order_acquire)) {
      continue;
    }
    // Returns at once when the state is no longer kSleeper; spurious wake-ups loop.
    Futex(state_, FUTEX_WAIT_PRIVATE, kSleeper);
  }
}

}  // namespace korvan
