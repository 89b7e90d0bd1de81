// Service mode: the shell with no window. Start-up in the order the shell
// relies on, the main thread's loop with its one-second timer, and on
// SIGTERM or SIGINT the orderly tear-down.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <optional>

namespace korvan {

struct ServiceOptions {
  std::optional<std::filesystem::path> config_dir;  // else the usual search
  std::optional<std::filesystem::path> app_dir;     // else the executable's folder
};

// Runs until a termination signal. Returns the process's exit status: 0
// after an orderly stop, 1 when the start failed (the reason is on `err`;
// the configuration is then left as it was).
int RunService(const ServiceOptions& options, std::ostream& out, std::ostream& err);

// The folder of the running executable.
std::filesystem::path ExecutableFolder();

}  // namespace korvan
