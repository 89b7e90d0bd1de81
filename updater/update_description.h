// The description shown in the update dialog: chosen by the preferred
// languages, then cut down to the sections of versions newer than the
// running program. A line beginning with "[" opens a section and names its
// version ("[1.0.0.510]"); lines before the first section always stay.
//
// Thread rule: pure functions.
#pragma once

#include <string>
#include <string_view>

#include "localisation/product_version.h"
#include "updater/version_info.h"

namespace korvan {

// -1, 0 or +1 as `text` ("major.minor.release.build") is older, equal or
// newer than `running`. A part that is no number counts 0; a text of fewer
// than four parts repeats its last part ("1.1" compares as 1.1.1.1).
int CompareVersion(std::string_view text, const ProductVersion& running);

// Keeps the lines before the first section and the sections whose version
// is empty or newer than `running`, without their header lines; every line
// ends in CR LF.
std::string FilterDescription(std::string_view description, const ProductVersion& running);

// The first non-empty "Description_" + code for the codes of `preferred`
// (comma-separated, used exactly as written), with "#13" as CR and "#10" as
// LF; empty when none is there.
std::string PickDescription(const VersionInfoFile& info, std::string_view preferred);

}  // namespace korvan
