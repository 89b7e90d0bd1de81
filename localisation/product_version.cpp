#include "localisation/product_version.h"

#include "localisation/text_format.h"

namespace korvan {

ProductVersion CurrentProductVersion() {
  return {KORVAN_VERSION_MAJOR, KORVAN_VERSION_MINOR, KORVAN_VERSION_PATCH, KORVAN_VERSION_TWEAK};
}

std::string FormatVersionText(const ProductVersion& version) {
  return FormatText("%d.%d (Build %d.%d)", {version.major, version.minor, version.release, version.build});
}

std::string VersionText() { return FormatVersionText(CurrentProductVersion()); }

}  // namespace korvan
