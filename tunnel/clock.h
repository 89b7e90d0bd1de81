// Time as the client sees it, in one vocabulary for every layer:
//   TickCount()  the system's 32-bit millisecond tick, compared by unsigned
//                subtraction (it wraps after 49.7 days);
//   Now()        the local date and time as days since 1899-12-30, the
//                fraction being the time of day;
//   Sleep(ms)    blocks the calling thread.
// The platform layer reads the system clocks; tests inject fakes, including
// one that jumps.
//
// Thread rule: implementations may be called from any thread at once.
#pragma once

#include <cstdint>

namespace korvan {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::uint32_t TickCount() = 0;
  virtual double Now() = 0;
  virtual void Sleep(std::uint32_t ms) = 0;
};

// Milliseconds from `earlier` to `later`, right across the tick's wrap.
constexpr std::uint32_t TicksSince(std::uint32_t later, std::uint32_t earlier) { return later - earlier; }

}  // namespace korvan
