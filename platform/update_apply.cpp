#include "platform/update_apply.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
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

bool RestartWindowMode(const fs::path& app_dir, std::ostream& out, std::ostream& err) {
  const fs::path client = app_dir / kClientProgram;
  if (::access(client.c_str(), X_OK) != 0) {
    err << "korvan-update: cannot restart: " << client.string() << " is missing or not executable\n";
    return false;
  }
  std::string error;
  if (SpawnProgram({client.string(), "--app-dir", app_dir.string()}, false, true, &error) < 0) {
    err << "korvan-update: cannot restart " << client.string() << ": " << error << "\n";
    return false;
  }
  out << "korvan-update: started " << client.string() << " again\n";
  return true;
}

bool RestartService(std::ostream& out, std::ostream& err) {
  std::string error;
  const int status = SpawnProgram({"systemctl", "start", "korvan"}, true, false, &error);
  if (status < 0) {
    if (errno == ENOENT) {
      err << "korvan-update: cannot restart the service: systemctl was not found (no systemd here?); "
             "start the service korvan by hand\n";
    } else {
      err << "korvan-update: cannot run systemctl: " << error << "\n";
    }
    return false;
  }
  if (status != 0) {
    err << "korvan-update: \"systemctl start korvan\" failed with status " << status << "\n";
    return false;
  }
  out << "korvan-update: asked systemd to start the service korvan\n";
  return true;
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
    "  /R    afterwards start DIR/korvan again (window mode), detached\n"
    "  /RS   afterwards run \"systemctl start korvan\" (service mode)\n"
    "  none  only apply the files\n"
    "\n"
    "Exit status 0 when everything was done, 1 otherwise (the reason is on\n"
    "standard error), 2 for a command line it does not understand.\n";

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
    } else if (word == "--pid" || word == "--wait-seconds") {
      const std::string* text = value(args[i]);
      if (text == nullptr) return std::nullopt;
      long number = 0;
      const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), number);
      if (ec != std::errc() || end != text->data() + text->size() || number < 0 || (word == "--pid" && number < 1)) {
        *error = word + " wants a whole number, not \"" + *text + "\"";
        return std::nullopt;
      }
      if (word == "--pid") {
        options.wait_pid = static_cast<pid_t>(number);
      } else {
        options.wait_limit = std::chrono::seconds(number);
      }
    } else if (word == "--app-dir") {
      const std::string* text = value("--app-dir");
      if (text == nullptr) return std::nullopt;
      options.app_dir = *text;
      app_dir_given = true;
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
    if ((had_target && !Backup(target, backup_folder, &error)) || !Replace(source, target, &error)) {
      result.errors.push_back(error);
      result.errors.push_back("stopped: " + std::to_string(result.applied.size()) +
                              " file(s) were applied and stay so; the rest stays in " + update.string());
      return result;
    }
    result.applied.push_back(source.filename().string());
  }
  return result;
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

  // The old files are whole whatever happened above, so a restart the user
  // asked for still happens.
  bool restarted = true;
  if (options.restart == RestartMode::kWindow) restarted = RestartWindowMode(options.app_dir, out, err);
  if (options.restart == RestartMode::kService) restarted = RestartService(out, err);
  return applied.ok() && restarted ? 0 : 1;
}

}  // namespace korvan
