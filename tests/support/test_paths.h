// Where tests find their data. The project's own data always exists; the
// shared corpus and vectors exist only beside a developer's checkout, so
// tests that need them call SkipUnlessShared() first.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace korvan::test {

std::filesystem::path TestDataDir();
std::filesystem::path SharedDir();   // may not exist
std::filesystem::path BinDir();      // the build's program folder
bool HaveShared(const std::string& sub);  // e.g. "corpus", "vectors"

std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path);
// The whole file as text; empty when it is missing or unreadable.
std::string ReadFileText(const std::filesystem::path& path);

// `name` on $PATH or in the system folders a user's $PATH may lack (Squid
// lives in /usr/sbin).
std::optional<std::filesystem::path> FindProgram(const std::string& name);

}  // namespace korvan::test

// Skips the current test with a clear message when ../shared/<sub> is absent.
#define KORVAN_SKIP_UNLESS_SHARED(sub)                                                   \
  do {                                                                                   \
    if (!::korvan::test::HaveShared(sub)) {                                              \
      GTEST_SKIP() << "shared " << (sub) << " not found at "                             \
                   << ::korvan::test::SharedDir().string() << ": test skipped";          \
    }                                                                                    \
  } while (0)
