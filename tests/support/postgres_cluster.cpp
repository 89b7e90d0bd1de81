#include "tests/support/postgres_cluster.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "tests/support/child_process.h"

namespace korvan::test {

namespace {

// Debian keeps each major version's programs apart, off $PATH; the newest wins.
std::optional<std::filesystem::path> FindPostgres() {
  std::error_code ec;
  std::optional<std::filesystem::path> best;
  int best_version = -1;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
    const auto bin = entry.path() / "bin";
    if (!std::filesystem::exists(bin / "initdb") || !std::filesystem::exists(bin / "pg_ctl")) continue;
    int version = 0;
    try {
      version = std::stoi(entry.path().filename().string());
    } catch (const std::exception&) {
      continue;
    }
    if (version > best_version) {
      best_version = version;
      best = bin;
    }
  }
  return best;
}

}  // namespace

PostgresCluster::PostgresCluster(std::filesystem::path bin, std::filesystem::path dir)
    : bin_(std::move(bin)), dir_(std::move(dir)) {}

std::unique_ptr<PostgresCluster> PostgresCluster::Start(std::string* why_not) {
  const auto bin = FindPostgres();
  if (!bin) {
    *why_not = "PostgreSQL is not installed (no initdb under /usr/lib/postgresql/*/bin)";
    return nullptr;
  }
  static std::atomic<int> counter{0};
  const auto dir = std::filesystem::temp_directory_path() /
                   ("korvan-pg-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
  std::unique_ptr<PostgresCluster> cluster(new PostgresCluster(*bin, dir));
  if (::geteuid() == 0) {
    const passwd* owner = ::getpwnam("postgres");
    if (owner == nullptr) {
      *why_not = "running as root, and there is no postgres system user to run PostgreSQL as";
      return nullptr;
    }
    if (::chown(dir.c_str(), owner->pw_uid, owner->pw_gid) != 0) {
      *why_not = "cannot hand " + dir.string() + " to the postgres user";
      return nullptr;
    }
  }
  const std::string data = (dir / "data").string();
  if (cluster->Run("initdb", {"-D", data, "-A", "trust", "-U", "korvan", "-E", "UTF8", "--locale=C", "--no-sync"},
                   true) != 0) {
    *why_not = "initdb failed: " + cluster->Log();
    return nullptr;
  }
  {
    std::ofstream conf(dir / "data" / "postgresql.conf", std::ios::app);
    conf << "\nlisten_addresses = '127.0.0.1'\n"
         << "unix_socket_directories = '" << dir.string() << "'\n"
         << "fsync = off\nsynchronous_commit = off\nfull_page_writes = off\n"
         << "shared_buffers = 16MB\nmax_connections = 80\n";
  }
  // The port was free a moment ago; another program may take it first.
  for (int attempt = 0; attempt < 3 && !cluster->running_; ++attempt) {
    cluster->port_ = FreeLoopbackPort();
    try {
      cluster->Start();
    } catch (const std::exception& e) {
      *why_not = e.what();
    }
  }
  if (!cluster->running_) return nullptr;
  try {
    cluster->CreateDatabase("korvan");
  } catch (const std::exception& e) {
    *why_not = e.what();
    return nullptr;
  }
  return cluster;
}

PostgresCluster::~PostgresCluster() {
  if (running_ && Run("pg_ctl", {"stop", "-D", (dir_ / "data").string(), "-m", "immediate", "-w", "-t", "20"}, true) != 0) {
    // Still there: the postmaster's number is the first line of its pid file.
    std::ifstream pid_file(dir_ / "data" / "postmaster.pid");
    pid_t pid = 0;
    if (pid_file >> pid && pid > 0) ::kill(pid, SIGKILL);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string PostgresCluster::url(const std::string& database) const {
  return "postgresql://korvan@127.0.0.1:" + std::to_string(port_) + "/" + database;
}

void PostgresCluster::Stop() {
  if (!running_) return;
  if (Run("pg_ctl", {"stop", "-D", (dir_ / "data").string(), "-m", "fast", "-w", "-t", "30"}, true) != 0) {
    throw std::runtime_error("pg_ctl stop failed: " + Log());
  }
  running_ = false;
}

void PostgresCluster::Start() {
  if (running_) return;
  if (Run("pg_ctl", {"start", "-D", (dir_ / "data").string(), "-l", (dir_ / "server.log").string(), "-w", "-t", "30",
                     "-o", "-p " + std::to_string(port_)},
          true) != 0) {
    throw std::runtime_error("pg_ctl start failed: " + Log() + ReadFile(dir_ / "server.log"));
  }
  running_ = true;
}

std::string PostgresCluster::CreateDatabase(const std::string& name) {
  if (Run("createdb", {"-h", "127.0.0.1", "-p", std::to_string(port_), "-U", "korvan", name}, false) != 0) {
    throw std::runtime_error("createdb " + name + " failed: " + Log());
  }
  return url(name);
}

int PostgresCluster::Run(const std::string& program, const std::vector<std::string>& args, bool as_owner) {
  std::vector<std::string> all{(bin_ / program).string()};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const passwd* owner = as_owner && ::geteuid() == 0 ? ::getpwnam("postgres") : nullptr;
  const uid_t uid = owner != nullptr ? owner->pw_uid : 0;
  const gid_t gid = owner != nullptr ? owner->pw_gid : 0;
  // Opened here, as the caller, so that the user switched to needs no right to it.
  const int log = ::open((dir_ / "programs.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(null, 0);
    ::dup2(log, 1);
    ::dup2(log, 2);
    if (owner != nullptr && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) ::_exit(126);
    // The server's folder is the owner's own; the programs must not start
    // from a folder the owner cannot enter.
    if (::chdir(dir_.c_str()) != 0) ::_exit(126);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(log);
  ::close(null);
  if (pid < 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r < 0) return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string PostgresCluster::Log() const {
  const std::string log = ReadFile(dir_ / "programs.log");
  return log.size() > 2000 ? log.substr(log.size() - 2000) : log;
}

std::string PostgresCluster::ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace korvan::test
