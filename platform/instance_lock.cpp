#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korvan {

InstanceLockPlace InstanceLockPath(const std::function<const char*(const char*)>& getenv) {
  const std::string uid = std::to_string(::getuid());
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return {std::filesystem::path(runtime) / ("korvan-" + uid + ".lock"), false};
  const char* tmp = getenv("TMPDIR");
  const std::filesystem::path base = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
  return {base / ("korvan-" + uid) / "korvan.lock", true};
}

namespace {

// The fallback folder lies in a place everyone may write to: it must be a
// real folder of ours that nobody else can enter, or another user could
// hold our lock (or point us at a file of theirs).
bool EnsurePrivateFolder(const std::filesystem::path& folder, std::string* error) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = "cannot create " + folder.string() + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) {
    *error = folder.string() + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0) {
    *error = folder.string() + " is not a private folder of this user";
    return false;
  }
  return true;
}

}  // namespace

InstanceLock::InstanceLock(const std::filesystem::path& path, bool private_folder) {
  if (private_folder && !EnsurePrivateFolder(path.parent_path(), &error_)) return;
  // Opened without O_TRUNC and never written: a second start changes
  // neither the file's contents nor its times.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    error_ = "cannot open " + path.string() + ": " + std::strerror(errno);
    return;
  }
  fd_.reset(fd);
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    state_ = State::kHeld;
  } else if (errno == EWOULDBLOCK) {
    state_ = State::kTakenByAnother;
    fd_.reset();
  } else {
    error_ = "cannot lock " + path.string() + ": " + std::strerror(errno);
    fd_.reset();
  }
}

}  // namespace korvan
