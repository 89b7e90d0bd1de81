// The controls of the settings page that the configuration stores: content
// filters, image compression, log switches, language and autostart. The
// filter word and the picture-compression byte that sessions send are
// derived from them.
//
// Thread rule: main thread only, like the form that owns it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "shell/model_controls.h"

namespace korvan {

// A check box stored under its own name, with its bit in the filter word.
struct TaggedCheckBox {
  std::string_view name;
  std::uint16_t filter_bit;
};

// In the order the configuration writes them: the page's own box, then the
// advert group in control order.
inline constexpr std::array<TaggedCheckBox, 16> kTaggedCheckBoxes = {{
    {"_HTMLOptimization", 0x4000},
    {"IGN468x60", 0x0001},
    {"IGN250x250", 0x1000},
    {"IGNAppFlash", 0x8000},
    {"IGN240x240", 0x2000},
    {"IGN120x60", 0x0040},
    {"IGN125x125", 0x0004},
    {"IGN234x60", 0x0002},
    {"IGN120x600", 0x0400},
    {"IGN120x240", 0x0008},
    {"IGN120x90", 0x0020},
    {"IGN160x600", 0x0080},
    {"IGN300x250", 0x0800},
    {"IGN88x31", 0x0010},
    {"IGN180x150", 0x0200},
    {"IGN240x400", 0x0100},
}};

struct SettingsPage {
  // Language files offered (file names) and their display names.
  std::vector<std::string> language_files;
  ComboBox LanguageCB;

  CheckBox Autostart;
  std::array<CheckBox, kTaggedCheckBoxes.size()> tagged{};
  Slider JPEGCompress{0, 15, 7};
  Slider GIFCompress{0, 15, 15};
  CheckBox ListConnectErr;
  CheckBox ListErrIP{true, true};

  // The box stored under `name`, or null.
  CheckBox* Tagged(std::string_view name);

  // `IGNAppFlashClick`: bit set = box checked.
  std::uint16_t FilterWord() const;
  // GIF level in the high nibble, JPEG level in the low one.
  std::uint8_t PictureCompression() const;
};

}  // namespace korvan
