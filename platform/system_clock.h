// The real clock: a 32-bit millisecond tick from CLOCK_MONOTONIC (wraps
// like the system tick it stands for) and the local time.
#pragma once

#include <ctime>

#include "shell/clock.h"
#include "tunnel/worker_environment.h"

namespace korvan {

class SystemClock : public Clock {
 public:
  std::uint32_t TickCount() override;
  double Now() override;
};

// The same tick for the connection workers, which also sleep on it.
class SystemTickClock : public TickClock {
 public:
  std::uint32_t Now() override;
  void Sleep(std::uint32_t ms) override;
};

// Local broken-down time and milliseconds as days since 1899-12-30.
double DaysSince1899(const std::tm& local, int milliseconds);

}  // namespace korvan
