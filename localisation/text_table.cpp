#include "localisation/text_table.h"

namespace korvan {

TextTable::TextTable() {
  const std::lock_guard lock(writer_mutex_);
  ForEachKey([this](TextKey key) { entries_[IndexOf(key)].store(Intern(CzechDefault(key))); });
}

void TextTable::Replace(TextKey key, std::string_view text) {
  const std::lock_guard lock(writer_mutex_);
  entries_[IndexOf(key)].store(Intern(text), std::memory_order_release);
}

const std::string* TextTable::Intern(std::string_view text) {
  return &*pool_.emplace(text).first;
}

}  // namespace korvan
