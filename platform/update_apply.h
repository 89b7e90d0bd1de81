// The work of korvan-update, the program the client starts after its loop
// on every exit: wait until the client has ended, move the files the
// self-updater left in <app dir>/Update/ into the program folder, then
// restart the client when asked to.
//
// Every file is replaced by one rename(2), so a reader sees the old file or
// the new one, never a mixture. Update/ normally lies in the program folder
// and so on its filesystem; a file that does not (a mounted Update/) is first
// copied to a temporary file beside its target, synced, then renamed. What
// a file replaced is kept in <app dir>/Backup/<name> (the previous backup of
// that name goes), as a hard link taken before the rename, so the target
// never goes missing, not even for a moment.
//
// Before anything moves, every file is checked: a target that is read-only
// (no write bit), locked by another process (flock, as the running client
// holds korvan.log) or a running program is reported and nothing is
// applied, so the program folder never holds a mixture of old and new
// files for that reason. A failure while moving stops there: what was
// applied stays applied (with its backup), the rest stays in Update/ for the
// next run.
//
// Thread rule: one thread; the functions stand alone.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace korvan {

enum class RestartMode {
  kNone,     // no switch: only apply
  kWindow,   // "/R": start the client again, detached
  kService,  // "/RS": ask systemd to start the service
};

struct UpdaterOptions {
  std::filesystem::path app_dir;  // the program folder
  RestartMode restart = RestartMode::kNone;
  std::optional<pid_t> wait_pid;  // the client that started us
  std::chrono::milliseconds wait_limit{30000};
  bool help = false;
};

// Parses the command line (without the program name). Switches are
// recognised in any case and with "-" or "/". Nullopt and *error set on a
// word it does not know.
std::optional<UpdaterOptions> ParseUpdaterArguments(const std::vector<std::string>& args, std::string* error);

extern const char kUpdaterHelp[];

// True once `pid` has ended (also when it is a zombie that nobody reaped
// yet); false when it still runs after `limit`.
bool WaitForProcessEnd(pid_t pid, std::chrono::milliseconds limit);

struct ApplyResult {
  std::vector<std::string> applied;  // file names, in the order moved
  std::vector<std::string> skipped;  // entries of Update/ that are no files
  std::vector<std::string> errors;   // one clear line each
  bool ok() const { return errors.empty(); }
};

// Moves every regular file of <app_dir>/Update/ into <app_dir>. A missing or
// empty Update/ applies nothing and is no error.
ApplyResult ApplyUpdateFolder(const std::filesystem::path& app_dir);

// The whole program: wait, apply, restart. Messages go to `out` and `err`;
// returns the exit status (0 when everything went well).
int RunUpdaterProgram(const UpdaterOptions& options, std::ostream& out, std::ostream& err);

}  // namespace korvan
