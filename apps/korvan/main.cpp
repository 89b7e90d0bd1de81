// korvan: the client.
//
//   korvan --service [--config-dir DIR] [--app-dir DIR]   headless, in the foreground
//   korvan [--config-dir DIR] [--app-dir DIR]             window mode
//   korvan -INSTALL | -UNINSTALL                          (also /install, \Install ...)
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "platform/service_runner.h"

namespace {

constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: korvan --service [--config-dir DIR] [--app-dir DIR]\n"
    "       korvan [--config-dir DIR] [--app-dir DIR]\n"
    "       korvan -INSTALL | -UNINSTALL\n";

// INSTALL / UNINSTALL in any case, introduced by '-', '/' or '\'.
bool IsSwitch(const std::string& arg, const std::string& name) {
  if (arg.size() != name.size() + 1 || (arg[0] != '-' && arg[0] != '/' && arg[0] != '\\')) return false;
  return std::equal(name.begin(), name.end(), arg.begin() + 1,
                    [](char a, char b) { return a == std::toupper(static_cast<unsigned char>(b)); });
}

}  // namespace

int main(int argc, char** argv) {
  korvan::ServiceOptions options;
  bool service = false;
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
    } else if (IsSwitch(a, "INSTALL") || IsSwitch(a, "UNINSTALL")) {
      std::cerr << "korvan: installing the service is not part of this build; run `korvan --service` from a "
                   "systemd unit instead\n";
      return EXIT_FAILURE;
    } else if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return EXIT_SUCCESS;
    } else {
      std::cerr << "korvan: unknown argument " << a << "\n" << kUsage;
      return kExitUsage;
    }
  }
  if (!service) {
    std::cerr << "korvan: this build has no window mode yet; start it with --service\n";
    return kExitUsage;
  }
  return korvan::RunService(options, std::cout, std::cerr);
}
