// Time as the shell sees it: the system's 32-bit millisecond tick (compared
// by unsigned subtraction, it wraps after 49.7 days) and the local wall-clock
// time as days since 1899-12-30, the fraction being the time of day.
#pragma once

#include <cstdint>

namespace korvan {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::uint32_t TickCount() = 0;
  virtual double Now() = 0;
};

}  // namespace korvan
