#include "platform/update_apply.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <ostream>
#include <thread>

#include "platform/spawn_program.h"


namespace korvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::string_view kUpdateFolder = "Update";
constexpr std::string_view kBackupFolder = "Backup";
constexpr std::string_view kClientProgram = "korvan";

std::string Lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string ErrnoText(int error) { return std::strerror(error); }

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now; false (errno set) when close reports a failed write.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool SyncFolder(const fs::path& folder) {
  Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.get() >= 0 && ::fsync(fd.get()) == 0;
}

// A file name beside `target` that nobody else uses, created empty.
std::optional<fs::path> TemporaryBeside(const fs::path& target, int* fd_out) {
  std::string pattern = (target.parent_path() / ("." + target.filename().string() + ".korvan-update-XXXXXX")).string();
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  *fd_out = fd;
  return fs::path(pattern);
}

// Copies `source` into a new temporary file beside `target` with `mode`,
// synced to disk. The temporary's name, or nullopt with *error set (and no
// temporary left behind).
std::optional<fs::path> CopyBeside(const fs::path& source, const fs::path& target, mode_t mode, std::string* error) {
  Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) {
    *error = "cannot read " + source.string() + ": " + ErrnoText(errno);
    return std::nullopt;
  }
  int raw = -1;
  const auto temporary = TemporaryBeside(target, &raw);
  if (!temporary) {
    *error = "cannot create a temporary file beside " + target.string() + ": " + ErrnoText(errno);
    return std::nullopt;
  }
  Fd out(raw);
  const auto fail = [&](std::string what) {
    *error = std::move(what) + ": " + ErrnoText(errno);
    ::unlink(temporary->c_str());
    return std::nullopt;
  };
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail("cannot read " + source.string());
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out.get(), buffer + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return fail("cannot write " + temporary->string());
      done += w;
    }
  }
  if (::fchmod(out.get(), mode) != 0) return fail("cannot set the mode of " + temporary->string());
  if (::fsync(out.get()) != 0) return fail("cannot sync " + temporary->string());
  if (!out.Close()) return fail("cannot write " + temporary->string());
  return temporary;
}

// Why `target` must not be replaced now; empty when it may.
std::string TargetRefusal(const fs::path& target) {
  struct stat st {};
  if (::lstat(target.c_str(), &st) != 0) {
    if (errno == ENOENT) return {};
    return "cannot examine " + target.string() + ": " + ErrnoText(errno);
  }
  if (!S_ISREG(st.st_mode)) return target.string() + " is not a regular file; it is not replaced";
  // Read-only marks a file the user wants left alone; the superuser could
  // rename over it, so the mode is judged, not access(2).
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    return target.string() + " is read-only; it is not replaced (make it writable to let the update in)";
  }
  Fd fd(::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return "cannot open " + target.string() + ": " + ErrnoText(errno);
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return target.string() + " is in use by another process (locked); it is not replaced";
    return "cannot check whether " + target.string() + " is in use: " + ErrnoText(errno);
  }
  ::flock(fd.get(), LOCK_UN);
  // Opening a running program for writing fails with ETXTBSY; nothing is
  // written.
  Fd probe(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK));
  if (probe.get() < 0 && errno == ETXTBSY) {
    return target.string() + " is a running program; it is not replaced (end that program first)";
  }
  return {};
}

// Keeps what `target` holds now as Backup/<name>, replacing an older backup
// in one step. The target stays where it is.
bool Backup(const fs::path& target, const fs::path& backup_folder, std::string* error) {
  std::error_code ec;
  fs::create_directories(backup_folder, ec);
  if (ec) {
    *error = "cannot create " + backup_folder.string() + ": " + ec.message();
    return false;
  }
  const fs::path backup = backup_folder / target.filename();
  int raw = -1;
  const auto temporary = TemporaryBeside(backup, &raw);
  if (!temporary) {
    *error = "cannot create a file in " + backup_folder.string() + ": " + ErrnoText(errno);
    return false;
  }
  ::close(raw);
  ::unlink(temporary->c_str());
  fs::path ready;
  if (::link(target.c_str(), temporary->c_str()) == 0) {
    ready = *temporary;
  } else {
    // A filesystem without hard links: a full copy does as well.
    struct stat st {};
    ::stat(target.c_str(), &st);
    const auto copy = CopyBeside(target, backup, st.st_mode & 07777, error);
    if (!copy) return false;
    ready = *copy;
  }
  if (::rename(ready.c_str(), backup.c_str()) != 0) {
    *error = "cannot keep a backup as " + backup.string() + ": " + ErrnoText(errno);
    ::unlink(ready.c_str());
    return false;
  }
  SyncFolder(backup_folder);
  return true;
}

// Puts `source` in the place of `target` in one rename. An existing target
// lends its permissions to the new file (a download loses the execute bit).
bool Replace(const fs::path& source, const fs::path& target, std::string* error) {
  struct stat source_st {};
  if (::stat(source.c_str(), &source_st) != 0) {
    *error = "cannot examine " + source.string() + ": " + ErrnoText(errno);
    return false;
  }
  mode_t mode = source_st.st_mode & 07777;
  if (struct stat target_st {}; ::stat(target.c_str(), &target_st) == 0) mode = target_st.st_mode & 07777;

  if (::chmod(source.c_str(), mode) == 0 && ::rename(source.c_str(), target.c_str()) == 0) {
    SyncFolder(target.parent_path());
    SyncFolder(source.parent_path());
    return true;
  }
  if (errno != EXDEV && errno != EPERM && errno != EROFS) {
    *error = "cannot move " + source.string() + " to " + target.string() + ": " + ErrnoText(errno);
    return false;
  }
  // Update/ lies on another filesystem (or refuses changes): a synced copy
  // beside the target, then the one rename.
  const auto copy = CopyBeside(source, target, mode, error);
  if (!copy) return false;
  if (::rename(copy->c_str(), target.c_str()) != 0) {
    *error = "cannot move the new " + target.filename().string() + " into place: " + ErrnoText(errno);
    ::unlink(copy->c_str());
    return false;
  }
  SyncFolder(target.parent_path());
  // Applied; a source that cannot be removed would only be applied again.
  std::error_code ignored;
  fs::remove(source, ignored);
  return true;
}

// Starts `argv` in a session of its own, so that it outlives us and no
// terminal signal of ours reaches it, with standard input from /dev/null,
// so that it neither reads our input nor holds it open; its output goes
// where ours goes. The process id, or -1 with *error set.
pid_t SpawnInOwnSession(const std::vector<std::string>& argv, std::string* error) {
  SpawnOptions options;
  options.own_session = true;
  options.stdin_from_null = true;
  return StartProgram(argv, options, error);
}

// Runs `argv` (found on $PATH) and returns what it printed on standard
// output (at most 64 KiB); nullopt when it could not run or did not end
// within `limit` (it is then killed).
std::optional<std::string> RunForOutput(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return std::nullopt;
  Fd read_end(pipe_fds[0]);
  Fd write_end(pipe_fds[1]);
  SpawnOptions options;
  options.search_path = true;
  options.stdin_from_null = true;
  options.stdout_to = write_end.get();
  std::string error;
  const pid_t pid = StartProgram(argv, options, &error);
  if (pid < 0) return std::nullopt;
  write_end.Close();

  std::string output;
  bool ended = false;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{read_end.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[4096];
    const ssize_t n = ::read(read_end.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended = true;
      break;
    }
    if (output.size() < 65536) output.append(buffer, static_cast<std::size_t>(n));
  }
  if (!ended) ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (!ended) return std::nullopt;
  return output;
}

std::string Seconds(std::chrono::milliseconds duration) {
  const auto ms = duration.count();
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000 != 0) {
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03lld", static_cast<long long>(ms % 1000));
    text += fraction;
    while (text.back() == '0') text.pop_back();
  }
  return text + " s";
}

// "ended with exit status 3" or "was ended by signal 11 (Segmentation fault)".
std::string DescribeEnd(int status) {
  if (WIFEXITED(status)) return "ended with exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const int signal = WTERMSIG(status);
    const char* name = ::strsignal(signal);
    return "was ended by signal " + std::to_string(signal) + (name != nullptr ? " (" + std::string(name) + ")" : "");
  }
  return "ended";
}

fs::path ExecutableFolder() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::current_path(ec) : self.parent_path();
}

bool IsZombie(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  // The state follows the command name in parentheses, which may hold
  // blanks and parentheses itself.
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

}  // namespace

const char kUpdaterHelp[] =
    "Usage: korvan-update [/R | /RS] [--pid PID] [--app-dir DIR] [--wait-seconds N]\n"
    "                     [--probation SECONDS] [--config-dir CONFIG]\n"
    "\n"
    "Started by korvan when it ends. Waits until the process PID has ended (at\n"
    "most N seconds, 30 by default; without --pid it does not wait), then moves\n"
    "every file of DIR/Update/ into DIR (the folder of this program unless\n"
    "--app-dir is given), each by one atomic rename; a file on another\n"
    "filesystem is copied beside its target, synced and then renamed.\n"
    "\n"
    "Backup: what a file replaces is kept as DIR/Backup/<name>; an older\n"
    "backup of that name is replaced. To go back, move it into DIR again.\n"
    "\n"
    "Nothing is applied when a target is read-only, locked by another process\n"
    "or a running program; the files stay in Update/ for the next run.\n"
    "\n"
    "  /R    afterwards start DIR/korvan again (window mode), detached, with\n"
    "        --config-dir CONFIG when that was given\n"
    "  /RS   afterwards run \"systemctl start korvan\" (service mode)\n"
    "  none  only apply the files\n"
    "\n"
    "Rollback: after /R or /RS the new program is watched for SECONDS (5 by\n"
    "default). If it ends with a non-zero status or a signal in that time, or\n"
    "systemd reports the service failed, the files of this run are put back\n"
    "from DIR/Backup/ (a file that had no previous version is removed) and\n"
    "the previous version is started once more. --probation 0 does not watch.\n"
    "\n"
    "Exit status 0 when everything was done, 1 otherwise (the reason is on\n"
    "standard error; also after a rollback), 2 for a command line it does not\n"
    "understand.\n";

std::optional<UpdaterOptions> ParseUpdaterArguments(const std::vector<std::string>& args, std::string* error) {
  UpdaterOptions options;
  bool app_dir_given = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string word = Lower(args[i]);
    const auto value = [&](std::string_view name) -> const std::string* {
      if (i + 1 >= args.size()) {
        *error = std::string(name) + " needs a value";
        return nullptr;
      }
      return &args[++i];
    };
    if (word == "/r" || word == "-r") {
      options.restart = RestartMode::kWindow;
    } else if (word == "/rs" || word == "-rs") {
      options.restart = RestartMode::kService;
    } else if (word == "--help" || word == "-h" || word == "/?") {
      options.help = true;
    } else if (word == "--pid" || word == "--wait-seconds" || word == "--probation") {
      const std::string* text = value(args[i]);
      if (text == nullptr) return std::nullopt;
      // A day bounds the waits, and keeps the milliseconds from overflowing.
      const long most = word == "--pid" ? std::numeric_limits<pid_t>::max() : 86400;
      long number = 0;
      const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), number);
      if (ec != std::errc() || end != text->data() + text->size() || number < 0 || number > most ||
          (word == "--pid" && number < 1)) {
        *error = word + " wants a whole number up to " + std::to_string(most) + ", not \"" + *text + "\"";
        return std::nullopt;
      }
      if (word == "--pid") {
        options.wait_pid = static_cast<pid_t>(number);
      } else if (word == "--wait-seconds") {
        options.wait_limit = std::chrono::seconds(number);
      } else {
        options.probation = std::chrono::seconds(number);
      }
    } else if (word == "--app-dir") {
      const std::string* text = value("--app-dir");
      if (text == nullptr) return std::nullopt;
      options.app_dir = *text;
      app_dir_given = true;
    } else if (word == "--config-dir") {
      const std::string* text = value("--config-dir");
      if (text == nullptr) return std::nullopt;
      options.config_dir = *text;
    } else {
      *error = "unknown argument \"" + args[i] + "\"";
      return std::nullopt;
    }
  }
  if (!app_dir_given) options.app_dir = ExecutableFolder();
  return options;
}

bool WaitForProcessEnd(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    // EPERM: it exists, under another user.
    if ((::kill(pid, 0) != 0 && errno == ESRCH) || IsZombie(pid)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
}

ApplyResult ApplyUpdateFolder(const fs::path& app_dir) {
  ApplyResult result;
  const fs::path update = app_dir / kUpdateFolder;
  std::error_code ec;
  if (!fs::is_directory(update, ec)) {
    if (fs::exists(fs::symlink_status(update, ec))) {
      result.errors.push_back(update.string() + " is not a folder");
    }
    return result;
  }
  std::vector<fs::path> files;
  for (fs::directory_iterator it(update, ec), end; !ec && it != end; it.increment(ec)) {
    const auto status = it->symlink_status(ec);
    if (ec) break;
    if (fs::is_regular_file(status)) {
      files.push_back(it->path());
    } else {
      result.skipped.push_back(it->path().filename().string());
    }
  }
  if (ec) {
    result.errors.push_back("cannot list " + update.string() + ": " + ec.message());
    return result;
  }
  std::sort(files.begin(), files.end());
  std::sort(result.skipped.begin(), result.skipped.end());

  // Judge every target before anything moves.
  for (const auto& source : files) {
    if (::access(source.c_str(), R_OK) != 0) {
      result.errors.push_back("cannot read " + source.string() + ": " + ErrnoText(errno));
    }
    if (std::string refusal = TargetRefusal(app_dir / source.filename()); !refusal.empty()) {
      result.errors.push_back(std::move(refusal));
    }
  }
  if (!result.ok()) {
    result.errors.push_back("nothing was applied; the files stay in " + update.string());
    return result;
  }

  const fs::path backup_folder = app_dir / kBackupFolder;
  for (const auto& source : files) {
    const fs::path target = app_dir / source.filename();
    std::string error;
    const bool had_target = fs::exists(fs::symlink_status(target, ec));
    const bool backed_up = had_target && Backup(target, backup_folder, &error);
    if ((had_target && !backed_up) || !Replace(source, target, &error)) {
      result.errors.push_back(error);
      result.errors.push_back("stopped: " + std::to_string(result.applied.size()) +
                              " file(s) were applied and stay so; the rest stays in " + update.string());
      return result;
    }
    result.applied.push_back(source.filename().string());
    if (backed_up) result.backed_up.push_back(source.filename().string());
  }
  return result;
}

bool RollBackUpdate(const fs::path& app_dir, const ApplyResult& applied, std::ostream& err) {
  const fs::path backup_folder = app_dir / kBackupFolder;
  bool ok = true;
  for (auto it = applied.applied.rbegin(); it != applied.applied.rend(); ++it) {
    const std::string& name = *it;
    const fs::path target = app_dir / name;
    const bool had_previous =
        std::find(applied.backed_up.begin(), applied.backed_up.end(), name) != applied.backed_up.end();
    if (!had_previous) {
      // A Backup/<name> of an earlier update is no previous version of
      // this one's new file.
      if (::unlink(target.c_str()) != 0 && errno != ENOENT) {
        err << "korvan-update: cannot remove " << target.string() << " (new in this update): " << ErrnoText(errno)
            << "\n";
        ok = false;
        continue;
      }
      err << "korvan-update: rolled back " << name << ": removed, it is new in this update\n";
      continue;
    }
    const fs::path backup = backup_folder / name;
    if (::rename(backup.c_str(), target.c_str()) != 0) {
      if (errno != EXDEV) {
        err << "korvan-update: cannot put " << backup.string() << " back as " << target.string() << ": "
            << ErrnoText(errno) << "\n";
        ok = false;
        continue;
      }
      // Backup/ is a filesystem of its own: a synced copy beside the
      // target, then the one rename.
      struct stat st {};
      ::stat(backup.c_str(), &st);
      std::string error;
      const auto copy = CopyBeside(backup, target, st.st_mode & 07777, &error);
      if (!copy || ::rename(copy->c_str(), target.c_str()) != 0) {
        if (copy) {
          error = "cannot move the previous " + name + " into place: " + ErrnoText(errno);
          ::unlink(copy->c_str());
        }
        err << "korvan-update: " << error << "\n";
        ok = false;
        continue;
      }
      ::unlink(backup.c_str());
    }
    err << "korvan-update: rolled back " << name << ": the previous version is back from "
        << (fs::path(kBackupFolder) / name).string() << "\n";
  }
  SyncFolder(app_dir);
  SyncFolder(backup_folder);
  return ok;
}

StartResult StartClientWatched(const fs::path& app_dir, std::chrono::milliseconds probation,
                               const fs::path& config_dir) {
  const fs::path client = app_dir / kClientProgram;
  const std::string name = client.string();
  if (::access(client.c_str(), X_OK) != 0) {
    return {StartResult::Kind::kFailed, "cannot start " + name + ": it is missing or not executable"};
  }
  std::string error;
  std::vector<std::string> argv{name, "--app-dir", app_dir.string()};
  if (!config_dir.empty()) argv.insert(argv.end(), {"--config-dir", config_dir.string()});
  const pid_t pid = SpawnInOwnSession(argv, &error);
  if (pid < 0) return {StartResult::Kind::kFailed, "cannot start " + name + ": " + error};
  if (probation.count() == 0) return {StartResult::Kind::kStarted, "started " + name + " again"};

  const auto deadline = std::chrono::steady_clock::now() + probation;
  for (;;) {
    int status = 0;
    const pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended < 0 && errno == EINTR) continue;
    if (ended < 0) break;  // not ours to watch after all: take it as started
    if (ended == pid) {
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return {StartResult::Kind::kStarted, "started " + name + " again; it ended normally at once"};
      }
      return {StartResult::Kind::kFailed,
              name + " " + DescribeEnd(status) + " within " + Seconds(probation) + " of its start"};
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(20ms);
  }
  return {StartResult::Kind::kStarted, "started " + name + " again; it still runs after " + Seconds(probation)};
}

ServiceControl SystemctlServiceControl() {
  ServiceControl control;
  control.start = [](std::string* error) {
    const int status = SpawnProgram({"systemctl", "start", "korvan"}, true, false, error);
    if (status < 0 && errno == ENOENT) {
      *error = "systemctl was not found (no systemd here?); start the service korvan by hand";
    } else if (status < 0) {
      *error = "cannot run systemctl: " + *error;
    }
    return status;
  };
  control.state = [] {
    ServiceState state;
    const auto text =
        RunForOutput({"systemctl", "show", "korvan", "--property=ActiveState", "--property=SubState"}, 10s);
    if (!text) return state;
    std::string_view rest = *text;
    while (!rest.empty()) {
      const auto newline = rest.find('\n');
      const std::string_view line = rest.substr(0, newline);
      rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
      if (line.starts_with("ActiveState=")) state.active = line.substr(12);
      if (line.starts_with("SubState=")) state.sub = line.substr(9);
    }
    return state;
  };
  return control;
}

StartResult StartServiceWatched(const ServiceControl& control, std::chrono::milliseconds probation,
                                std::chrono::milliseconds poll) {
  std::string error;
  const int status = control.start(&error);
  if (status < 0) return {StartResult::Kind::kUnavailable, "cannot restart the service: " + error};
  if (status != 0) {
    return {StartResult::Kind::kFailed, "\"systemctl start korvan\" failed with status " + std::to_string(status)};
  }
  if (probation.count() == 0) return {StartResult::Kind::kStarted, "asked systemd to start the service korvan"};
  const auto deadline = std::chrono::steady_clock::now() + probation;
  ServiceState state;
  for (;;) {
    state = control.state();
    if (state.active == "failed" || state.sub.starts_with("auto-restart")) {
      return {StartResult::Kind::kFailed, "the service korvan failed within " + Seconds(probation) +
                                              " of its start (systemd: " + state.active + ", " + state.sub + ")"};
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::min(
        poll, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())));
  }
  return {StartResult::Kind::kStarted, "asked systemd to start the service korvan; it has not failed within " +
                                           Seconds(probation) +
                                           (state.active.empty() ? "" : " (now " + state.active + ")")};
}

bool RestartOrRollBack(const fs::path& app_dir, const ApplyResult& applied, const std::function<StartResult()>& start,
                       std::ostream& out, std::ostream& err) {
  const StartResult first = start();
  if (first.kind == StartResult::Kind::kStarted) {
    out << "korvan-update: " << first.message << "\n";
    return true;
  }
  err << "korvan-update: " << first.message << "\n";
  if (first.kind == StartResult::Kind::kUnavailable) return false;
  if (applied.applied.empty()) {
    // The program that failed is the one that ran before: starting it
    // again would only fail again.
    err << "korvan-update: this run applied no file, so there is nothing to roll back\n";
    return false;
  }
  err << "korvan-update: rolling back the " << applied.applied.size() << " file(s) this update applied\n";
  const bool restored = RollBackUpdate(app_dir, applied, err);
  if (!restored) err << "korvan-update: the rollback is incomplete; the previous version may not start\n";
  const StartResult second = start();
  if (second.kind == StartResult::Kind::kStarted) {
    out << "korvan-update: the previous version: " << second.message << "\n";
  } else {
    err << "korvan-update: the previous version: " << second.message << "; start it by hand\n";
  }
  return false;
}

int RunUpdaterProgram(const UpdaterOptions& options, std::ostream& out, std::ostream& err) {
  if (options.wait_pid && !WaitForProcessEnd(*options.wait_pid, options.wait_limit)) {
    err << "korvan-update: the program (process " << *options.wait_pid << ") is still running after "
        << std::chrono::duration_cast<std::chrono::seconds>(options.wait_limit).count()
        << " s; nothing was applied or restarted\n";
    return 1;
  }
  const ApplyResult applied = ApplyUpdateFolder(options.app_dir);
  for (const auto& name : applied.applied) {
    out << "korvan-update: applied " << name << "\n";
  }
  for (const auto& name : applied.skipped) {
    err << "korvan-update: " << (options.app_dir / kUpdateFolder / name).string()
        << " is not a regular file; left in place\n";
  }
  for (const auto& line : applied.errors) err << "korvan-update: " << line << "\n";
  out.flush();

  // The old files are whole whatever happened above, so a restart the user
  // asked for still happens.
  bool restarted = true;
  if (options.restart == RestartMode::kWindow) {
    restarted = RestartOrRollBack(
        options.app_dir, applied, [&] { return StartClientWatched(options.app_dir, options.probation, options.config_dir); }, out, err);
  }
  if (options.restart == RestartMode::kService) {
    const ServiceControl control = SystemctlServiceControl();
    restarted = RestartOrRollBack(
        options.app_dir, applied, [&] { return StartServiceWatched(control, options.probation); }, out, err);
  }
  return applied.ok() && restarted ? 0 : 1;
}

}  // namespace korvan
