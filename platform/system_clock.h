// The real clock, for every thread: a 32-bit millisecond tick from CLOCK_MONOTONIC (wraps
// like the system tick it stands for) and the local time.
//
// Thread rule: stateless; any thread.
#pragma once

#include <ctime>

#include "tunnel/clock.h"

namespace korvan {

class SystemClock : public Clock {
 public:
  std::uint32_t TickCount() override;
  double Now() override;
  void Sleep(std::uint32_t ms) override;
};

// Local broken-down time and milliseconds as days since 1899-12-30.
double DaysSince1899(const std::tm& local, int milliseconds);

}  // namespace korvan
