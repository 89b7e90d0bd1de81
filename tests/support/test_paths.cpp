#include "tests/support/test_paths.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace korvan::test {

std::filesystem::path TestDataDir() { return KORVAN_TEST_DATA_DIR; }

std::filesystem::path SharedDir() {
  if (const char* over = std::getenv("KORVAN_SHARED_DIR"); over != nullptr && *over != '\0') return over;
  return KORVAN_SHARED_DIR;
}

std::filesystem::path BinDir() { return KORVAN_BIN_DIR; }

bool HaveShared(const std::string& sub) { return std::filesystem::is_directory(SharedDir() / sub); }

std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string ReadFileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::optional<std::filesystem::path> FindProgram(const std::string& name) {
  std::string dirs = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  dirs += ":/usr/sbin:/usr/local/sbin:/sbin";
  std::stringstream in(dirs);
  for (std::string dir; std::getline(in, dir, ':');) {
    if (dir.empty()) continue;
    const std::filesystem::path candidate = std::filesystem::path(dir) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

}  // namespace korvan::test
