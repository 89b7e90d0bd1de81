// A profile file on disk. Each call opens and releases the file; Replace
// writes a new file beside it and renames it over the old one, so a crash
// mid-write leaves the old content or the new one, never half of either.
// The file holds passwords in plain text: it is created readable and
// writable by its owner only, and a replacement tightens looser permissions.
//
// Thread rule: nothing changes after construction; the shell's main thread
// makes all calls, and two Replace calls on one file must not overlap.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string_view>

#include "platform/system_calls.h"
#include "shell/profile_store.h"

namespace korvan {

class ProfileFile : public ProfileStore {
 public:
  // Configuration files are small; anything bigger is refused, not read.
  static constexpr std::size_t kMaxFileSize = 4 << 20;

  explicit ProfileFile(std::filesystem::path path, SystemCalls& calls = RealSystemCalls())
      : path_(std::move(path)), calls_(calls) {}

  // A bare name lives in the configuration directory; a name with a folder
  // part is used as given.
  static std::filesystem::path Locate(std::string_view name, const std::filesystem::path& config_dir);

  ProfileLoad Load() override;
  bool Replace(std::string_view bytes, std::string* error) override;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  SystemCalls& calls_;
};

}  // namespace korvan
