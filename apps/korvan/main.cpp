// korvan: the client.
//
//   korvan --service [--config-dir DIR] [--app-dir DIR]   headless, in the foreground
//   korvan [--config-dir DIR] [--app-dir DIR]             window mode
//   korvan -INSTALL [--config-dir DIR] [--app-dir DIR]    writes and enables korvan.service
//   korvan -UNINSTALL                                     (also /install, \Install ...)
#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "platform/service_runner.h"
#include "platform/systemd_service.h"

namespace {

constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: korvan --service [--config-dir DIR] [--app-dir DIR]\n"
    "       korvan [--config-dir DIR] [--app-dir DIR]\n"
    "       korvan -INSTALL [--config-dir DIR] [--app-dir DIR]\n"
    "       korvan -UNINSTALL\n"
    "INSTALL writes the systemd unit korvan.service (into $KORVAN_SYSTEMD_UNIT_DIR, else\n"
    "/etc/systemd/system, and then enables it); UNINSTALL disables and removes it.\n";

// INSTALL / UNINSTALL in any case, introduced by '-', '/' or '\'.
bool IsSwitch(const std::string& arg, const std::string& name) {
  if (arg.size() != name.size() + 1 || (arg[0] != '-' && arg[0] != '/' && arg[0] != '\\')) return false;
  return std::equal(name.begin(), name.end(), arg.begin() + 1,
                    [](char a, char b) { return a == std::toupper(static_cast<unsigned char>(b)); });
}

// Window mode lives in a module beside the program, so that service mode
// never loads Qt.
int RunWindowMode(const korvan::ServiceOptions& options) {
  const std::filesystem::path module = korvan::ExecutableFolder() / "korvan-window.so";
  std::error_code ec;
  if (!std::filesystem::exists(module, ec)) {
    std::cerr << "korvan: this build has no window mode; start it with --service\n";
    return kExitUsage;
  }
  void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::cerr << "korvan: window mode cannot be loaded (" << ::dlerror() << "); start it with --service\n";
    return kExitUsage;
  }
  using Entry = int (*)(const char*, const char*);
  const auto entry = reinterpret_cast<Entry>(::dlsym(handle, "korvan_window_main"));
  if (entry == nullptr) {
    std::cerr << "korvan: " << module.string() << " is not a window-mode module; start it with --service\n";
    return kExitUsage;
  }
  const std::string config_dir = options.config_dir ? options.config_dir->string() : std::string();
  const std::string app_dir = options.app_dir ? options.app_dir->string() : std::string();
  // The module stays loaded until the process ends: Qt's own exit handlers
  // still run from it.
  return entry(options.config_dir ? config_dir.c_str() : nullptr, options.app_dir ? app_dir.c_str() : nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  korvan::ServiceOptions options;
  bool service = false;
  enum class Registration { kNone, kInstall, kUninstall } registration = Registration::kNone;
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--service") {
      service = true;
    } else if (a == "--config-dir" || a == "--app-dir") {
      if (i + 1 >= args.size()) {
        std::cerr << "korvan: " << a << " needs a folder\n" << kUsage;
        return kExitUsage;
      }
      (a == "--config-dir" ? options.config_dir : options.app_dir) = args[++i];
    } else if (IsSwitch(a, "INSTALL")) {
      registration = Registration::kInstall;
    } else if (IsSwitch(a, "UNINSTALL")) {
      registration = Registration::kUninstall;
    } else if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return EXIT_SUCCESS;
    } else {
      std::cerr << "korvan: unknown argument " << a << "\n" << kUsage;
      return kExitUsage;
    }
  }
  // Either switch stands for service mode without its form: the service is
  // registered or removed, nothing more.
  if (registration == Registration::kInstall) {
    korvan::ServiceUnitOptions unit{korvan::ExecutableFolder() / "korvan", {}, {}};
    if (options.config_dir) unit.config_dir = std::filesystem::absolute(*options.config_dir);
    if (options.app_dir) unit.app_dir = std::filesystem::absolute(*options.app_dir);
    return korvan::InstallService(unit, korvan::CurrentServiceInstallContext(), std::cout, std::cerr);
  }
  if (registration == Registration::kUninstall) {
    return korvan::UninstallService(korvan::CurrentServiceInstallContext(), std::cout, std::cerr);
  }
  if (!service && !korvan::IsRunningAsService()) return RunWindowMode(options);
  return korvan::RunService(options, std::cout, std::cerr);
}
