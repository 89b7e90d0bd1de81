// Starting another program with posix_spawn, for the updater's restarts and
// for systemctl.
//
// Thread rule: any thread; nothing shared.
#pragma once

#include <string>
#include <vector>

namespace korvan {

// Starts `argv` (found on $PATH when `search_path`). With `detach` it
// becomes the leader of a session of its own and is not awaited; otherwise
// its exit status is returned (128 + the signal when one ended it). -1 with
// *error set when it could not be started.
int SpawnProgram(const std::vector<std::string>& argv, bool search_path, bool detach, std::string* error);

}  // namespace korvan
