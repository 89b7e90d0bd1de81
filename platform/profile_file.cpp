#include "platform/profile_file.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fd_io.h"

namespace korvan {
namespace {

int OpenRetrying(SystemCalls& calls, const char* path, int flags) {
  for (;;) {
    const int fd = calls.Open(path, flags, 0);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

int FsyncRetrying(SystemCalls& calls, int fd) {
  for (;;) {
    const int r = calls.Fsync(fd);
    if (r == 0 || errno != EINTR) return r;
  }
}

}  // namespace

std::filesystem::path ProfileFile::Locate(std::string_view name, const std::filesystem::path& config_dir) {
  const std::filesystem::path given(name);
  return given.has_parent_path() ? given : config_dir / given;
}

ProfileLoad ProfileFile::Load() {
  ProfileLoad result;
  UniqueFd fd(OpenRetrying(calls_, path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY), calls_);
  if (!fd) {
    if (errno == ENOENT) return result;  // kMissing
    result.status = ProfileLoad::Status::kError;
    result.error = path_.string() + ": " + ErrnoText(errno);
    return result;
  }
  struct stat info {};
  const bool known = calls_.Fstat(fd.get(), &info) == 0;
  if (!known || !S_ISREG(info.st_mode)) {
    result.status = ProfileLoad::Status::kError;
    result.error = path_.string() + ": " + (known ? std::string("not a regular file") : ErrnoText(errno));
    return result;
  }
  bool too_big = false;
  if (!ReadAll(fd.get(), kMaxFileSize, &result.bytes, &too_big, calls_)) {
    result.status = ProfileLoad::Status::kError;
    result.error = path_.string() + ": " + ErrnoText(errno);
    result.bytes.clear();
    return result;
  }
  if (too_big) {
    result.status = ProfileLoad::Status::kError;
    result.error = path_.string() + ": larger than " + std::to_string(kMaxFileSize) + " bytes";
    result.bytes.clear();
    return result;
  }
  result.status = ProfileLoad::Status::kOk;
  return result;
}

bool ProfileFile::Replace(std::string_view bytes, std::string* error) {
  const auto fail = [&](const std::string& what, const std::string& temp) {
    const int saved = errno;
    if (!temp.empty()) calls_.Unlink(temp.c_str());
    if (error != nullptr) *error = path_.string() + ": " + what + ": " + ErrnoText(saved);
    errno = saved;
    return false;
  };
  const std::filesystem::path folder = path_.has_parent_path() ? path_.parent_path() : ".";
  std::string temp = (folder / ("." + path_.filename().string() + ".XXXXXX")).string();
  // mkostemp creates the file with mode 0600.
  UniqueFd fd(calls_.Mkostemp(temp.data(), O_CLOEXEC), calls_);
  if (!fd) return fail("cannot create a temporary file", {});
  if (!WriteAll(fd.get(), bytes, calls_)) return fail("write failed", temp);
  if (calls_.Fchmod(fd.get(), S_IRUSR | S_IWUSR) != 0) return fail("chmod failed", temp);
  // Many file systems only find out at this point that the blocks do not fit.
  if (FsyncRetrying(calls_, fd.get()) != 0) return fail("fsync failed", temp);
  fd.reset();
  if (calls_.Rename(temp.c_str(), path_.c_str()) != 0) return fail("rename failed", temp);
  // The rename itself must reach the disk too.
  UniqueFd dir(OpenRetrying(calls_, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), calls_);
  if (dir) FsyncRetrying(calls_, dir.get());
  return true;
}

}  // namespace korvan
