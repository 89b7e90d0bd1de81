// What the client reads back of the desktops' proxy settings: a KDE
// configuration file and the copies of the settings it keeps in Korvan.ini.
// The first byte picks which; any text gives a file that changes in place
// without losing its other lines, and copies that survive being written again.
#include "fuzz/fuzz_target.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/desktop_proxy_backend.h"
#include "platform/kconfig_file.h"

namespace {

void KdeFile(std::string_view text) {
  korvan::KConfigFile file = korvan::KConfigFile::FromText(text);
  const std::string before = file.Text();
  (void)file.Get("Proxy Settings", "ProxyType");
  file.Set("Proxy Settings", "httpProxy", "http://127.0.0.1 3128");
  const auto value = file.Get("Proxy Settings", "httpProxy");
  if (!value || *value != "http://127.0.0.1 3128") __builtin_trap();
  file.Remove("Proxy Settings", "httpProxy");
  if (file.Get("Proxy Settings", "httpProxy")) __builtin_trap();
  const std::string raw(text.substr(0, 256));
  if (korvan::KConfigFile::Unescape(korvan::KConfigFile::Escape(raw)) != raw) __builtin_trap();
  // Every line of the file is still there, in its order.
  const std::string after = file.Text();
  std::size_t at = 0;
  for (std::size_t start = 0; start < before.size();) {
    const std::size_t end = before.find('\n', start);
    const std::string line = before.substr(start, end - start + 1);
    start = end + 1;
    if (line.find("httpProxy") != std::string::npos) continue;
    at = after.find(line, at);
    if (at == std::string::npos) __builtin_trap();
    at += line.size();
  }
}

void Copies(std::string_view text) {
  const auto copies = korvan::DecodeDesktopCopies(text);
  const std::string again = korvan::EncodeDesktopCopies(copies);
  if (korvan::DecodeDesktopCopies(again) != copies) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] & 1) {
    KdeFile(text);
  } else {
    Copies(text);
  }
  return 0;
}
