#include "gui/window_platform.h"

#include <unistd.h>

#include "localisation/language_list.h"
#include "platform/user_locale.h"

namespace korvan::gui {

WindowPlatform::WindowPlatform(const std::filesystem::path& config_dir, std::ostream& err,
                               std::vector<std::string> autostart_command)
    : workers_(loop_, clock_, network_),
      listeners_(workers_),
      profile_(ProfileFile::Locate("Korvan.ini", config_dir)),
      system_proxy_(MakeDesktopProxyStore(CurrentDesktopEnvironment())),
      autostart_(CurrentDesktopEnvironment().config_home, std::move(autostart_command)),
      prompts_(err),
      update_dialogs_(prompts_, err) {}

PlatformServices WindowPlatform::Services() {
  return PlatformServices{loop_,      clock_,         listeners_, workers_,        profile_,
                          log_files_, *system_proxy_, autostart_, prompts_,        update_dialogs_,
                          processes_, network_,       UserLocaleFormat(), UserLanguageCode(), DeriveHostIdentity(),
                          static_cast<long>(::getpid())};
}

}  // namespace korvan::gui
