// A flag that one thread sets once and one other thread waits for. The wait
// sleeps on the kernel's futex at once: a hand-off to the main thread takes
// longer than any spin would, so spinning or yielding first only burns CPU.
//
// Thread rule: Set from one thread, Wait from another; each event is set once.
#pragma once

#include <atomic>
#include <cstdint>

namespace korvan {

class OneShotEvent {
 public:
  void Set();
  void Wait();
  bool IsSet() const { return state_.load(std::memory_order_acquire) == kSet; }

 private:
  static constexpr std::uint32_t kUnset = 0, kSet = 1, kSleeper = 2;
  std::atomic<std::uint32_t> state_{kUnset};
};

}  // namespace korvan
