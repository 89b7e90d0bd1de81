// KDE's proxy settings: group "Proxy Settings" of kioslaverc in the XDG
// configuration folder, and the session-bus signal on which KDE's programs
// read it again.
//
// ProxyType 0 (none) is flags 1, 1 (manual) flags 3, 2 (script) flags 5
// with the script's address, 3 (detect) flags 9; 4 (from the environment)
// reads as direct and comes back whole from the kept copy. The proxies of
// httpProxy, httpsProxy, ftpProxy and socksProxy ("http://host port") make
// the proxy server text, NoProxyFor (comma-separated) the bypass list.
//
// Thread rule: main thread only.
#pragma once

#include <filesystem>

#include "platform/desktop_proxy_backend.h"

namespace korvan {

class KdeProxySettings : public DesktopProxyBackend {
 public:
  // `file` is the kioslaverc to use; `notify` says whether to send KDE's
  // change signal on the session bus.
  KdeProxySettings(std::filesystem::path file, bool notify) : file_(std::move(file)), notify_(notify) {}

  std::string_view name() const override { return "KDE"; }
  std::string location() const override { return file_.string(); }
  int Read(TIESettings& mapped, DesktopValues& own) override;
  int Write(const TIESettings& settings) override;
  int Restore(const DesktopValues& own) override;
  void Notify() override;

  // The last error's text (file and reason), for tests and the log.
  const std::string& last_error() const { return last_error_; }

 private:
  std::filesystem::path file_;
  bool notify_;
  std::string last_error_;
};

}  // namespace korvan
