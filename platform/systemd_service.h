// Service mode under systemd: the unit korvan.service that INSTALL writes
// (and enables) and UNINSTALL disables and removes, and whether this
// process is that unit's service.
//
// The unit runs `korvan --service` as the dedicated user "korvan" (a
// dynamic one unless the package made it), with a state folder of its own
// for Korvan.ini and korvan.log and nothing else writable.
//
// Thread rule: main thread only; nothing here is shared.
#pragma once

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace korvan {

inline constexpr std::string_view kServiceUnitName = "korvan.service";
inline constexpr std::string_view kServiceUserName = "korvan";

struct ServiceUnitOptions {
  std::filesystem::path program;                    // the full path of korvan
  std::optional<std::filesystem::path> config_dir;  // carried to the command line
  std::optional<std::filesystem::path> app_dir;
};

std::string ServiceUnitText(const ServiceUnitOptions& options);

// What INSTALL and UNINSTALL need from outside: the unit folder
// ($KORVAN_SYSTEMD_UNIT_DIR: only write there, tell systemd nothing), and a
// way to run systemctl and wait for it (its exit status; -1 when it could
// not be started).
struct ServiceInstallContext {
  std::filesystem::path unit_dir;
  bool tell_systemd = true;
  std::function<int(const std::vector<std::string>&)> run;
};

// For this process: $KORVAN_SYSTEMD_UNIT_DIR, else /etc/systemd/system with
// systemctl when systemd runs.
ServiceInstallContext CurrentServiceInstallContext();

// The exit status of `korvan INSTALL` / `korvan UNINSTALL`; `out` says what
// was done, `err` what failed and what to do about it.
int InstallService(const ServiceUnitOptions& options, const ServiceInstallContext& context, std::ostream& out,
                   std::ostream& err);
int UninstallService(const ServiceInstallContext& context, std::ostream& out, std::ostream& err);

// True when this process runs in korvan.service's control group and as the
// user its unit names. `cgroup` is the text of /proc/self/cgroup, `unit`
// that of the unit file (empty when none), `user` this process's user.
bool IsServiceProcess(std::string_view cgroup, std::string_view unit, std::string_view user);
bool IsRunningAsService();

}  // namespace korvan
