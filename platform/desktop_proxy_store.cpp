#include "platform/desktop_proxy_store.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "platform/gnome_proxy_settings.h"
#include "platform/kde_proxy_settings.h"

namespace korvan {
namespace {

// The query of a dial-up entry: there are none on Linux.
constexpr int kNoSuchConnection = ENOENT;
// No desktop whose settings the program can change.
constexpr int kNoDesktop = ENOTSUP;

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::optional<DesktopKind> KindOf(std::string_view name) {
  // The desktops that keep their proxy settings in GNOME's schema.
  static constexpr std::string_view kGSettingsDesktops[] = {
      "GNOME", "GNOME-Classic", "GNOME-Flashback", "Unity", "Cinnamon", "X-Cinnamon", "Budgie", "Pantheon", "MATE"};
  for (const auto desktop : kGSettingsDesktops) {
    if (SameName(name, desktop)) return DesktopKind::kGnome;
  }
  if (SameName(name, "KDE")) return DesktopKind::kKde;
  return std::nullopt;
}

}  // namespace

std::vector<DesktopKind> DesktopsNamed(std::string_view xdg_current_desktop) {
  std::vector<DesktopKind> kinds;
  while (true) {
    const std::size_t colon = xdg_current_desktop.find(':');
    if (const auto kind = KindOf(xdg_current_desktop.substr(0, colon))) {
      if (std::find(kinds.begin(), kinds.end(), *kind) == kinds.end()) kinds.push_back(*kind);
    }
    if (colon == std::string_view::npos) break;
    xdg_current_desktop.remove_prefix(colon + 1);
  }
  return kinds;
}

int DesktopProxyStore::Query(TIESettings& entry) {
  if (!entry.connection_name.empty()) return kNoSuchConnection;
  if (backends_.empty()) return kNoDesktop;
  TIESettings result = entry;
  std::vector<std::pair<std::string, DesktopValues>> copies;
  for (std::size_t i = 0; i < backends_.size(); ++i) {
    TIESettings mapped;
    DesktopValues own;
    if (const int code = backends_[i]->Read(mapped, own); code != 0) return code;
    // The first desktop named speaks for all in the shell's fields.
    if (i == 0) {
      result.flags = mapped.flags;
      result.proxy_server = mapped.proxy_server;
      result.bypass_list = mapped.bypass_list;
      result.auto_config_url = mapped.auto_config_url;
    }
    copies.emplace_back(std::string(backends_[i]->name()), std::move(own));
  }
  result.desktop_copies = EncodeDesktopCopies(copies);
  entry = std::move(result);
  return 0;
}

int DesktopProxyStore::Apply(const TIESettings& entry) {
  if (!entry.connection_name.empty()) return kNoSuchConnection;
  if (backends_.empty()) return kNoDesktop;
  const auto copies = DecodeDesktopCopies(entry.desktop_copies);
  int first_error = 0;
  for (const auto& backend : backends_) {
    const auto copy = std::find_if(copies.begin(), copies.end(),
                                   [&backend](const auto& c) { return c.first == backend->name(); });
    const int code = copy != copies.end() ? backend->Restore(copy->second) : backend->Write(entry);
    if (code != 0 && first_error == 0) first_error = code;
  }
  return first_error;
}

void DesktopProxyStore::NotifyChanged() {
  for (const auto& backend : backends_) backend->Notify();
}

std::unique_ptr<DesktopProxyStore> MakeDesktopProxyStore(const DesktopEnvironment& environment) {
  std::vector<std::unique_ptr<DesktopProxyBackend>> backends;
  std::string found;
  const auto add_note = [&found](const std::string& note) {
    if (!found.empty()) found += ", ";
    found += note;
  };
  for (const DesktopKind kind : DesktopsNamed(environment.xdg_current_desktop)) {
    if (kind == DesktopKind::kGnome) {
      std::string why;
      if (auto gnome = GnomeProxySettings::Open(environment.gsettings_keyfile, &why)) {
        add_note("GNOME (" + gnome->location() + ")");
        backends.push_back(std::move(gnome));
      } else {
        add_note("GNOME unusable: " + why);
      }
    } else {
      auto kde = std::make_unique<KdeProxySettings>(environment.config_home / "kioslaverc",
                                                    environment.notify_session_bus);
      add_note("KDE (" + kde->location() + ")");
      backends.push_back(std::move(kde));
    }
  }
  const std::string named = "XDG_CURRENT_DESKTOP=\"" + environment.xdg_current_desktop + "\"";
  std::string description;
  if (backends.empty()) {
    description = "System proxy settings: no desktop with proxy settings the program can change (GNOME, KDE "
                  "and the like) among " + named + (found.empty() ? "" : "; " + found) +
                  "; set each program's proxy by hand";
  } else {
    description = "System proxy settings: " + found + "; " + named;
  }
  return std::make_unique<DesktopProxyStore>(std::move(backends), std::move(description));
}

DesktopEnvironment CurrentDesktopEnvironment() {
  DesktopEnvironment environment;
  if (const char* desktop = std::getenv("XDG_CURRENT_DESKTOP")) environment.xdg_current_desktop = desktop;
  const char* config_home = std::getenv("XDG_CONFIG_HOME");
  if (config_home != nullptr && *config_home == '/') {
    environment.config_home = config_home;
  } else if (const char* home = std::getenv("HOME")) {
    environment.config_home = std::filesystem::path(home) / ".config";
  }
  return environment;
}

}  // namespace korvan
