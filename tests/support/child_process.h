// A program started by a test, with its standard output and error captured
// into a file, stopped by a signal and awaited.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace korvan::test {

class ChildProcess {
 public:
  ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
               const std::filesystem::path& output_file);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Sends `signal` and waits for the end; the exit status, or -1 after the
  // time-out (the process is then killed).
  int Stop(int signal, std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Waits for the end without a signal; -1 after the time-out.
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  std::string Output() const;

 private:
  pid_t pid_ = -1;
  std::filesystem::path output_file_;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();

}  // namespace korvan::test
