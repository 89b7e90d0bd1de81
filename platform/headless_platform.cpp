#include "platform/headless_platform.h"

#include <unistd.h>

#include "localisation/language_list.h"
#include "platform/locked_log_file.h"
#include "platform/user_locale.h"

namespace korvan {

std::unique_ptr<LogFile> LockedLogFileOpener::Open(const std::filesystem::path& path, std::string* error) {
  return LockedLogFile::Open(path, error);
}

HeadlessPlatform::HeadlessPlatform(const std::filesystem::path& config_dir, std::ostream& err)
    : workers_(loop_, clock_, network_),
      listeners_(workers_),
      profile_(ProfileFile::Locate("Korvan.ini", config_dir)),
      prompts_(err, {}) {}

PlatformServices HeadlessPlatform::Services() {
  return PlatformServices{loop_,         clock_,    listeners_, workers_,   profile_,
                          log_files_,    system_proxy_, autostart_, prompts_, prompts_, processes_,
                          network_,      UserLocaleFormat(), UserLanguageCode(), DeriveHostIdentity(),
                          static_cast<long>(::getpid())};
}

}  // namespace korvan
