// One desktop's proxy settings (GNOME's, KDE's), read and written as the
// system connection settings the shell knows, and as the desktop's own
// values, which put back restore it exactly.
//
// Thread rule: main thread only.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shell/system_proxy_store.h"

namespace korvan {

// A desktop's own values by key; a key the user never set is left out.
using DesktopValues = std::vector<std::pair<std::string, std::string>>;

class DesktopProxyBackend {
 public:
  virtual ~DesktopProxyBackend() = default;
  // "GNOME", "KDE": the desktop's name in the log and in the kept copies.
  virtual std::string_view name() const = 0;
  // Where the settings live, for the log ("GSettings", a file's path).
  virtual std::string location() const = 0;
  // Fills flags, proxy server, bypass list and script address of `mapped`
  // and the desktop's own values; 0, or an error code and nothing changed.
  virtual int Read(TIESettings& mapped, DesktopValues& own) = 0;
  // Applies flags, proxy server, bypass list and script address.
  virtual int Write(const TIESettings& settings) = 0;
  // Puts back values that Read returned; keys missing there are reset.
  virtual int Restore(const DesktopValues& own) = 0;
  // Tells the desktop's programs to read the settings again.
  virtual void Notify() = 0;
};

// Keeps several desktops' values in one text of TIESettings::desktop_copies:
// "GNOME:key=value,key=value;KDE:...", with reserved bytes as %XX.
std::string EncodeDesktopCopies(const std::vector<std::pair<std::string, DesktopValues>>& copies);
// The copies in `text`; a damaged text yields what could be read of it.
std::vector<std::pair<std::string, DesktopValues>> DecodeDesktopCopies(std::string_view text);

}  // namespace korvan
