// The program's version, from the build (the numbers of the CMake project).
#pragma once

#include <string>

namespace korvan {

struct ProductVersion {
  int major = 0;
  int minor = 0;
  int release = 0;
  int build = 0;
};

ProductVersion CurrentProductVersion();

// "major.minor (Build release.build)", e.g. "1.0 (Build 0.509)".
std::string FormatVersionText(const ProductVersion& version);

// FormatVersionText(CurrentProductVersion()).
std::string VersionText();

}  // namespace korvan
