#include "platform/spawn_program.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace korvan {

pid_t StartProgram(const std::vector<std::string>& argv, const SpawnOptions& options, std::string* error) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.stdin_from_null) posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (options.stdout_to >= 0) posix_spawn_file_actions_adddup2(&actions, options.stdout_to, STDOUT_FILENO);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  if (options.own_session) {
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
  }
  pid_t pid = -1;
  const int rc = options.search_path ? ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ)
                                     : ::posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    *error = std::strerror(rc);
    errno = rc;
    return -1;
  }
  return pid;
}

int SpawnProgram(const std::vector<std::string>& argv, bool search_path, bool detach, std::string* error) {
  SpawnOptions options;
  options.search_path = search_path;
  options.own_session = detach;
  const pid_t pid = StartProgram(argv, options, error);
  if (pid < 0) return -1;
  if (detach) return 0;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return 0;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace korvan
