#include "platform/system_clock.h"

#include <chrono>
#include <thread>

#include <time.h>

namespace korvan {

std::uint32_t SystemClock::TickCount() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

void SystemClock::Sleep(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

double DaysSince1899(const std::tm& local, int milliseconds) {
  using namespace std::chrono;
  const year_month_day date{year{local.tm_year + 1900}, month{static_cast<unsigned>(local.tm_mon + 1)},
                            day{static_cast<unsigned>(local.tm_mday)}};
  const auto days = (sys_days{date} - sys_days{year{1899} / December / 30}).count();
  const double seconds = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + milliseconds / 1000.0;
  return static_cast<double>(days) + seconds / 86400.0;
}

double SystemClock::Now() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  std::tm local{};
  ::localtime_r(&now.tv_sec, &local);
  return DaysSince1899(local, static_cast<int>(now.tv_nsec / 1000000));
}

}  // namespace korvan
