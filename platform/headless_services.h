// What service mode puts where the window mode has a desktop: no system
// proxy settings to change, no autostart entry of its own (systemd starts
// the service), and message boxes that become log lines and lines on
// standard error.
//
// Thread rule: main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

#include "shell/shell_services.h"
#include "updater/update_types.h"
#include "shell/system_proxy_store.h"

namespace korvan {

class NoSystemProxy : public SystemProxyStore {
 public:
  int Query(TIESettings&) override { return 1; }
  int Apply(const TIESettings&) override { return 1; }
  void NotifyChanged() override {}
};

class NoAutostart : public AutostartStore {
 public:
  bool IsEnabled() override { return false; }
  void SetEnabled(bool) override {}
};

class StderrPrompts : public UserPrompts, public UpdateDialogs {
 public:
  // `log` receives every message as well, once the log is there.
  StderrPrompts(std::ostream& err, std::function<void(std::string_view)> log) : err_(err), log_(std::move(log)) {}
  void set_log(std::function<void(std::string_view)> log) { log_ = std::move(log); }
  void ShowError(std::string_view text) override;
  // Nobody can answer in service mode: every question is answered No.
  bool AskYesNo(std::string_view caption, std::string_view text) override;
  // The updater's boxes likewise: a line each, Yes/No answered No.
  std::int32_t ShowMessageBox(const MessageBoxRequest& request) override;
  UpdateDialogAnswer ShowUpdateDialog(const UpdateDialogRequest& request) override;

 private:
  std::ostream& err_;
  std::function<void(std::string_view)> log_;
};

// Byte 10 of the login block: a stable value derived from the host name.
std::uint8_t DeriveHostIdentity();

}  // namespace korvan
