#include "platform/profile_file.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fd_io.h"

namespace korvan {

std::filesystem::path ProfileFile::Locate(std::string_view name, const std::filesystem::path& config_dir) {
  const std::filesystem::path given(name);
  return given.has_parent_path() ? given : config_dir / given;
}

ProfileLoad ProfileFile::Load() {
  ProfileLoad result;
  UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) {
    if (errno == ENOENT) return result;  // kMissing
    result.status = ProfileLoad::Status::kError;
    result.error = path_.string() + ": " + ErrnoText(errno);
    return result;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    result.status = ProfileLoad::Status::kError;
    result.error = path_.string() + ": not a regular file";
    return result;
  }
  bool too_big = false;
  if (!ReadAll(fd.get(), kMaxFileSize, &result.bytes, &too_big)) {
    result.status = ProfileLoad::Status::kError;
    result.error = path_.string() + ": " + ErrnoText(errno);
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
    if (!temp.empty()) ::unlink(temp.c_str());
    if (error != nullptr) *error = path_.string() + ": " + what + ": " + ErrnoText(saved);
    return false;
  };
  const std::filesystem::path folder = path_.has_parent_path() ? path_.parent_path() : ".";
  std::string temp = (folder / ("." + path_.filename().string() + ".XXXXXX")).string();
  // mkstemp creates the file with mode 0600.
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return fail("cannot create a temporary file", {});
  if (!WriteAll(fd.get(), bytes)) return fail("write failed", temp);
  if (::fchmod(fd.get(), S_IRUSR | S_IWUSR) != 0) return fail("chmod failed", temp);
  if (::fsync(fd.get()) != 0) return fail("fsync failed", temp);
  fd.reset();
  if (::rename(temp.c_str(), path_.c_str()) != 0) return fail("rename failed", temp);
  // The rename itself must reach the disk too.
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
  return true;
}

}  // namespace korvan
