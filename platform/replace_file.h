// Replacing a file's whole content so that a reader sees the old file or
// the new one, never half of either: written beside, flushed, renamed over.
//
// Thread rule: any thread; two writers of one file must not overlap.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string_view>

namespace korvan {

// Writes `text` as `path`, creating its folder. An existing file keeps its
// mode; a new one gets `new_mode`. 0, or the errno of the failure (the old
// file then stays as it was and nothing is left beside it).
int ReplaceFile(const std::filesystem::path& path, std::string_view text, mode_t new_mode);

}  // namespace korvan
