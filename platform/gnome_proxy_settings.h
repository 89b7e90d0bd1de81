// GNOME's proxy settings (and those of the desktops built on its settings:
// Unity, Cinnamon, Budgie, MATE, Pantheon) through GSettings: the schema
// org.gnome.system.proxy and its children http, https, ftp and socks.
//
// Mode "none" is flags 1 (direct), "manual" flags 3, "auto" flags 5 with a
// script address or 9 (detect) without one; the hosts and ports make the
// proxy server text, the ignored hosts the bypass list. Keys nobody set
// stay unset when the user's settings are put back.
//
// Thread rule: main thread only (GSettings objects are not shared).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include "platform/desktop_proxy_backend.h"

namespace korvan {

class GnomeProxySettings : public DesktopProxyBackend {
 public:
  // The desktop's own settings store, or with `keyfile` a GSettings key
  // file of that name (tests). Null when the schema is not installed; then
  // *why says so.
  static std::unique_ptr<GnomeProxySettings> Open(const std::optional<std::filesystem::path>& keyfile,
                                                  std::string* why);
  ~GnomeProxySettings() override;

  std::string_view name() const override { return "GNOME"; }
  std::string location() const override;
  int Read(TIESettings& mapped, DesktopValues& own) override;
  int Write(const TIESettings& settings) override;
  int Restore(const DesktopValues& own) override;
  void Notify() override;

 private:
  struct Schemas;
  explicit GnomeProxySettings(std::unique_ptr<Schemas> schemas);
  std::unique_ptr<Schemas> schemas_;
};

}  // namespace korvan
