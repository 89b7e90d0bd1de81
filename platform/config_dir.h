// The configuration directory, where Korvan.ini lives: the --config-dir
// option, else $KORVAN_CONFIG_DIR, else $XDG_CONFIG_HOME/korvan, else
// ~/.config/korvan.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace korvan {

// `getenv` looks up an environment variable (null or empty: unset); `home`
// is the user's home folder, used when HOME is unset.
std::filesystem::path ChooseConfigDirectory(const std::optional<std::filesystem::path>& option,
                                            const std::function<const char*(const char*)>& getenv,
                                            const std::filesystem::path& home);

// The same for this process, created (owner-only) when missing. Empty path
// and *error set when it cannot be created.
std::filesystem::path ConfigDirectory(const std::optional<std::filesystem::path>& option, std::string* error);

// Where the program keeps korvan.log and Update/: its own folder while this
// user may write there and it is not under /usr; else (installed from a
// package) $XDG_STATE_HOME/korvan,
// else ~/.local/state/korvan, created owner-only. `getenv` and `writable`
// stand for the environment and for access(W_OK).
std::filesystem::path ChooseProgramDataFolder(const std::filesystem::path& app_dir,
                                              const std::function<const char*(const char*)>& getenv,
                                              const std::filesystem::path& home,
                                              const std::function<bool(const std::filesystem::path&)>& writable);

// The same for this process; the program folder itself when the state
// folder cannot be created (the log's own error then says why).
std::filesystem::path ProgramDataFolder(const std::filesystem::path& app_dir);

}  // namespace korvan
