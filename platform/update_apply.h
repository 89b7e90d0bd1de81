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
// A restart is watched for a probation time: a new version that fails at
// once (ends with a non-zero status or a signal, or its service fails) has
// the files of this run put back from Backup/, and the previous version is
// started once more. Only this run's files and backups are used; an older
// backup in Backup/ belongs to an earlier update and stays as it is.
//
// Thread rule: one thread; the functions stand alone.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
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
  // How long a restarted program must hold out before it counts as
  // started; zero starts it unwatched and never rolls back.
  std::chrono::milliseconds probation{5000};
  // The configuration folder the client was started with, handed on to the
  // client a "/R" starts; empty: the client's usual search.
  std::filesystem::path config_dir;
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
  std::vector<std::string> applied;    // file names, in the order moved
  std::vector<std::string> backed_up;  // those of `applied` whose previous version went to Backup/
  std::vector<std::string> skipped;    // entries of Update/ that are no files
  std::vector<std::string> errors;     // one clear line each
  bool ok() const { return errors.empty(); }
};

// Moves every regular file of <app_dir>/Update/ into <app_dir>. A missing or
// empty Update/ applies nothing and is no error.
ApplyResult ApplyUpdateFolder(const std::filesystem::path& app_dir);

// Undoes `applied` (the result of one ApplyUpdateFolder run), last file
// first: a file backed up in that run comes back from Backup/ by one
// rename; a file new in that run is removed. One line per file to `err`;
// false when some file could not be put back (the others still are).
bool RollBackUpdate(const std::filesystem::path& app_dir, const ApplyResult& applied, std::ostream& err);

// How a restarted program fared during its probation time.
struct StartResult {
  enum class Kind {
    kStarted,      // it runs (or ended with status 0) after the probation
    kFailed,       // it failed: the update is to blame
    kUnavailable,  // it could not even be tried here (no systemctl)
  };
  Kind kind = Kind::kStarted;
  std::string message;  // one line, naming the program and what happened
};

// Starts <app_dir>/korvan in a session of its own and watches it for
// `probation`. Past that it is left running; when we exit it is inherited
// by init, which reaps it.
// `config_dir`, when not empty, goes on as --config-dir.
StartResult StartClientWatched(const std::filesystem::path& app_dir, std::chrono::milliseconds probation,
                               const std::filesystem::path& config_dir = {});

// The service as systemctl shows it.
struct ServiceState {
  std::string active;  // ActiveState: "active", "activating", "failed", ...
  std::string sub;     // SubState: "running", "auto-restart", ...
};

// The calls to systemctl, replaceable in tests.
struct ServiceControl {
  // Runs "systemctl start korvan": its exit status, or -1 with *error set
  // when systemctl could not be run at all.
  std::function<int(std::string* error)> start;
  // The state now; empty fields when it could not be learnt.
  std::function<ServiceState()> state;
};

// The real systemctl found on $PATH.
ServiceControl SystemctlServiceControl();

// Starts the service and asks for its state every `poll` during
// `probation`. A service that systemd reports failed, or is about to
// restart after a failure (Restart=on-failure keeps it "activating"),
// has failed.
StartResult StartServiceWatched(const ServiceControl& control, std::chrono::milliseconds probation,
                                std::chrono::milliseconds poll = std::chrono::milliseconds(250));

// Calls `start`; when the new version failed, rolls `applied` back and
// calls `start` once more for the previous version (never again). True
// when the first start succeeded.
bool RestartOrRollBack(const std::filesystem::path& app_dir, const ApplyResult& applied,
                       const std::function<StartResult()>& start, std::ostream& out, std::ostream& err);

// The whole program: wait, apply, restart. Messages go to `out` and `err`;
// returns the exit status (0 when everything went well).
int RunUpdaterProgram(const UpdaterOptions& options, std::ostream& out, std::ostream& err);

}  // namespace korvan
