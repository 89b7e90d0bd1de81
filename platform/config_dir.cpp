#include "platform/config_dir.h"

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

}  // namespace korvan
