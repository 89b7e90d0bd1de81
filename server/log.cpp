#include "server/log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "common/mutex.h"

namespace korvan::server {

namespace {
// One line at a time on standard error. The stream is not ours alone (other
// code writes to it without this mutex), so nothing is marked as guarded.
Mutex g_mutex;
std::atomic<bool> g_enabled{true};
}  // namespace

void SetLogEnabled(bool enabled) { g_enabled = enabled; }

void Log(std::string_view text) {
  if (!g_enabled) return;
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &utc);
  // Whatever a caller passes, one event stays one line: control bytes that
  // slipped through unescaped are escaped here.
  std::string line;
  line.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      line += hex;
    } else {
      line += c;
    }
  }
  MutexLock lock(g_mutex);
  std::fprintf(stderr, "%s korvan-server: %s\n", stamp, line.c_str());
}

std::string Printable(std::string_view text, std::size_t max) {
  std::string out;
  for (const char c : text.substr(0, max)) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F && c != '\\') {
      out += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    }
  }
  if (text.size() > max) out += "...";
  return out;
}

}  // namespace korvan::server
