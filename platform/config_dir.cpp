#include "platform/config_dir.h"

#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "platform/user_name.h"

namespace korvan {
namespace {

bool IsSet(const char* value) { return value != nullptr && *value != '\0'; }

}  // namespace

std::filesystem::path ChooseConfigDirectory(const std::optional<std::filesystem::path>& option,
                                            const std::function<const char*(const char*)>& getenv,
                                            const std::filesystem::path& home) {
  if (option && !option->empty()) return *option;
  if (const char* dir = getenv("KORVAN_CONFIG_DIR"); IsSet(dir)) return dir;
  if (const char* xdg = getenv("XDG_CONFIG_HOME"); IsSet(xdg)) return std::filesystem::path(xdg) / "korvan";
  const char* home_env = getenv("HOME");
  const std::filesystem::path base = IsSet(home_env) ? std::filesystem::path(home_env) : home;
  return base / ".config" / "korvan";
}

std::filesystem::path ConfigDirectory(const std::optional<std::filesystem::path>& option, std::string* error) {
  const auto dir =
      ChooseConfigDirectory(option, [](const char* name) { return std::getenv(name); }, UserHomeDirectory());
  std::error_code ec;
  if (std::filesystem::is_directory(dir, ec)) return dir;
  std::filesystem::create_directories(dir, ec);
  if (!ec) {
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all, ec);
    ec.clear();
  }
  if (ec || !std::filesystem::is_directory(dir, ec)) {
    if (error != nullptr) *error = dir.string() + ": cannot create the configuration directory";
    return {};
  }
  return dir;
}

std::filesystem::path ChooseProgramDataFolder(const std::filesystem::path& app_dir,
                                              const std::function<const char*(const char*)>& getenv,
                                              const std::filesystem::path& home,
                                              const std::function<bool(const std::filesystem::path&)>& writable) {
  // /usr belongs to the package manager, even where root could write.
  const bool system_folder = app_dir.lexically_normal().string().starts_with("/usr/");
  if (writable(app_dir) && !system_folder) return app_dir;
  // XDG asks for an absolute path; a relative one is ignored.
  if (const char* xdg = getenv("XDG_STATE_HOME"); IsSet(xdg) && *xdg == '/') {
    return std::filesystem::path(xdg) / "korvan";
  }
  const char* home_env = getenv("HOME");
  const std::filesystem::path base = IsSet(home_env) ? std::filesystem::path(home_env) : home;
  return base / ".local" / "state" / "korvan";
}

std::filesystem::path ProgramDataFolder(const std::filesystem::path& app_dir) {
  const auto dir = ChooseProgramDataFolder(
      app_dir, [](const char* name) { return std::getenv(name); }, UserHomeDirectory(),
      [](const std::filesystem::path& folder) { return ::access(folder.c_str(), W_OK) == 0; });
  if (dir == app_dir) return dir;
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) {
    std::filesystem::create_directories(dir, ec);
    if (ec) return app_dir;
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all, ec);
  }
  return dir;
}

}  // namespace korvan
