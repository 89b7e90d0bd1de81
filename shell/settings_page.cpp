#include "shell/settings_page.h"

#include "wire/opening.h"

namespace korvan {

CheckBox* SettingsPage::Tagged(std::string_view name) {
  for (std::size_t i = 0; i < kTaggedCheckBoxes.size(); ++i) {
    if (kTaggedCheckBoxes[i].name == name) return &tagged[i];
  }
  return nullptr;
}

std::uint16_t SettingsPage::FilterWord() const {
  std::uint16_t word = 0;
  for (std::size_t i = 0; i < kTaggedCheckBoxes.size(); ++i) {
    if (tagged[i].checked) word = static_cast<std::uint16_t>(word | kTaggedCheckBoxes[i].filter_bit);
  }
  return word;
}

std::uint8_t SettingsPage::PictureCompression() const {
  return MakePictureCompressionByte(GIFCompress.value(), JPEGCompress.value());
}

}  // namespace korvan
