#include "localisation/text_table.h"

namespace korvan {

TextTable::TextTable() {
  const MutexLock lock(writer_mutex_);
  // A loop, not ForEachKey: the analysis does not see the lock inside a lambda.
  for (std::size_t i = 0; i < kTextKeyCount; ++i) entries_[i].store(Intern(CzechDefault(static_cast<TextKey>(i))));
}

void TextTable::Replace(TextKey key, std::string_view text) {
  const MutexLock lock(writer_mutex_);
  entries_[IndexOf(key)].store(Intern(text), std::memory_order_release);
}

const std::string* TextTable::Intern(std::string_view text) {
  return &*pool_.emplace(text).first;
}

}  // namespace korvan
