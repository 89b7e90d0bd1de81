// Who runs this process.
#pragma once

#include <filesystem>
#include <string>

namespace korvan {

// The effective user's login name; empty when the system does not know it.
std::string EffectiveUserName();
// The effective user's home folder from the user database; empty when unknown.
std::filesystem::path UserHomeDirectory();

}  // namespace korvan
