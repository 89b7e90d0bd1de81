// What the shell needs from outside itself. The platform layer supplies the
// real implementations; tests supply fakes. All are used on the main thread.
//
// Thread rule: every service here is used on the main thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "localisation/text_table.h"
#include "tunnel/clock.h"
#include "shell/listener.h"
#include "shell/locale_format.h"
#include "shell/profile_store.h"
#include "shell/system_proxy_store.h"

namespace korvan {

// Whether the program starts with the user's session.
class AutostartStore {
 public:
  virtual ~AutostartStore() = default;
  virtual bool IsEnabled() = 0;
  virtual void SetEnabled(bool enabled) = 0;
};

// Message boxes owned by the main window. In service mode the front end
// turns them into log lines.
class UserPrompts {
 public:
  virtual ~UserPrompts() = default;
  virtual void ShowError(std::string_view text) = 0;
  virtual bool AskYesNo(std::string_view caption, std::string_view text) = 0;
};

struct ShellServices {
  ProfileStore& profile;
  ListenerFactory& listeners;
  MessagePump& pump;
  Clock& clock;
  SystemProxyStore& system_proxy;
  AutostartStore& autostart;
  UserPrompts& prompts;
  const TextTable& texts;
  LocaleFormat locale;
  // Byte 10 of the login block, derived once by the start-up code.
  std::uint8_t host_identity = 0;
};

}  // namespace korvan
