#include "platform/user_name.h"

#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace korvan {
namespace {

template <typename Field>
std::string PasswdField(Field field) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return {};
  const char* value = field(*found);
  return value != nullptr ? value : "";
}

}  // namespace

std::string EffectiveUserName() {
  return PasswdField([](const passwd& p) { return p.pw_name; });
}

std::filesystem::path UserHomeDirectory() {
  return PasswdField([](const passwd& p) { return p.pw_dir; });
}

}  // namespace korvan
