// Profile files as they may lie on disk: damaged, truncated, hand-edited.
// Parsing must accept anything, a write must read back, and it must leave
// every other key as it was.
#include "fuzz/fuzz_target.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "shell/profile.h"
#include "shell/profile_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // The first line of the input doubles as the value to write.
  const std::string_view value = bytes.substr(0, bytes.find('\n'));

  const korvan::ProfileDocument doc = korvan::ProfileDocument::Parse(bytes);
  const auto socket_count = doc.Find("Setup", "SocketCount");
  const auto port = doc.Find("Socket1", "LPort");
  korvan::ReadProfileInteger(doc, "Config", "IDSE_Value", 100000);
  korvan::ReadProfileBool(doc, "Config", "ListErrIP", true);

  korvan::ProfileDocument edited = doc;
  edited.Write("Config", "PassEL_Text", value);
  const korvan::ProfileDocument again = korvan::ProfileDocument::Parse(edited.Serialize());
  if (again.Find("Config", "PassEL_Text") != std::string(value.substr(0, value.find_first_of("\r\n")))) {
    __builtin_trap();
  }
  if (again.Find("Setup", "SocketCount") != socket_count || again.Find("Socket1", "LPort") != port) {
    __builtin_trap();
  }
  return 0;
}
