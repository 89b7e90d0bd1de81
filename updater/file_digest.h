// MD5 digests as the update server publishes them: 32 upper-case
// hexadecimal digits.
//
// Thread rule: pure functions; any thread.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace korvan {

std::string DigestText(std::string_view bytes);
// The digest of a file's whole content; empty when it cannot be read.
std::string FileDigestText(const std::filesystem::path& path);

}  // namespace korvan
