// A real FTP server for the tests: pyftpdlib on 127.0.0.1 with a free port,
// serving a folder the test fills, started as a child process and stopped
// with the object. It knows the anonymous user and kFtpUser with
// kFtpPassword, refuses wrong passwords at once (no delay), and can be told
// to lack MLSD, so that LIST is what a client gets.
//
// Thread rule: one test thread uses an FtpTestServer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "tests/support/child_process.h"

namespace korvan::server::test {

inline constexpr const char* kFtpUser = "korvan";
inline constexpr const char* kFtpPassword = "s3cret";

// A Python 3 that can import pyftpdlib, or nullopt.
std::optional<std::filesystem::path> PythonWithPyftpdlib();

class FtpTestServer {
 public:
  struct Options {
    bool mlsd = true;
  };
  // Serves `root`; `work` is a folder for the script and its output.
  FtpTestServer(const std::filesystem::path& python, const std::filesystem::path& root,
                const std::filesystem::path& work, Options options);
  ~FtpTestServer();
  FtpTestServer(const FtpTestServer&) = delete;
  FtpTestServer& operator=(const FtpTestServer&) = delete;

  // 0 when the server did not come up (Output() says why).
  std::uint16_t port() const { return port_; }
  std::string Output() const;
  std::string url(const std::string& path, bool with_login = false) const;

 private:
  std::unique_ptr<korvan::test::ChildProcess> process_;
  std::uint16_t port_ = 0;
};

}  // namespace korvan::server::test

// Skips the test with a clear message when no python3 with pyftpdlib is installed.
#define KORVAN_SKIP_WITHOUT_PYFTPDLIB(python)                                                             \
  do {                                                                                                    \
    if (!(python)) GTEST_SKIP() << "python3-pyftpdlib is not installed: FTP test skipped";                \
  } while (0)
