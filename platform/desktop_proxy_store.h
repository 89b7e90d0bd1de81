// The system proxy store of window mode: the LAN settings stand for the
// proxy settings of every desktop that XDG_CURRENT_DESKTOP names and that
// keeps such settings (GNOME's GSettings, KDE's kioslaverc). Switching on
// writes all of them; a queried copy keeps each desktop's own values, so
// putting it back restores each exactly. With none of them the query fails
// and the LAN item has no copy. There are no dial-up entries on Linux.
//
// Thread rule: main thread only.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/desktop_proxy_backend.h"
#include "shell/system_proxy_store.h"

namespace korvan {

enum class DesktopKind { kGnome, kKde };

// The desktops with settings of ours among the colon-separated names of
// XDG_CURRENT_DESKTOP, each once, in the order named.
std::vector<DesktopKind> DesktopsNamed(std::string_view xdg_current_desktop);

class DesktopProxyStore : public SystemProxyStore {
 public:
  // `description` is what the log says about the desktops found.
  DesktopProxyStore(std::vector<std::unique_ptr<DesktopProxyBackend>> backends, std::string description)
      : backends_(std::move(backends)), description_(std::move(description)) {}

  int Query(TIESettings& entry) override;
  int Apply(const TIESettings& entry) override;
  void NotifyChanged() override;
  std::string Description() const override { return description_; }

 private:
  std::vector<std::unique_ptr<DesktopProxyBackend>> backends_;
  std::string description_;
};

struct DesktopEnvironment {
  std::string xdg_current_desktop;
  std::filesystem::path config_home;  // $XDG_CONFIG_HOME, else ~/.config
  // A GSettings key file instead of the desktop's store (tests).
  std::optional<std::filesystem::path> gsettings_keyfile;
  bool notify_session_bus = true;
};

// The store for the desktops the environment names.
std::unique_ptr<DesktopProxyStore> MakeDesktopProxyStore(const DesktopEnvironment& environment);

// The environment of this process.
DesktopEnvironment CurrentDesktopEnvironment();

}  // namespace korvan
