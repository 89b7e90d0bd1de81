// Starting another program with posix_spawn, for the updater's restarts and
// for systemctl.
//
// Thread rule: any thread; nothing shared.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace korvan {

struct SpawnOptions {
  bool search_path = false;  // find argv[0] on $PATH
  // The leader of a session of its own, with no signal blocked, so that it
  // outlives us and no terminal signal of ours reaches it.
  bool own_session = false;
  bool stdin_from_null = false;  // neither reads our input nor holds it open
  int stdout_to = -1;            // >= 0: its standard output goes there
};

// Starts `argv`; its process id, or -1 with *error set (and errno).
pid_t StartProgram(const std::vector<std::string>& argv, const SpawnOptions& options, std::string* error);

// Starts `argv` (found on $PATH when `search_path`). With `detach` it
// becomes the leader of a session of its own and is not awaited; otherwise
// its exit status is returned (128 + the signal when one ended it). -1 with
// *error set when it could not be started.
int SpawnProgram(const std::vector<std::string>& argv, bool search_path, bool detach, std::string* error);

}  // namespace korvan
