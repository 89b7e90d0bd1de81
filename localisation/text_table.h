// The process-wide table of user-visible texts, one entry per TextKey.
//
// Thread rule: Text() may be called from any thread at any time and never
// blocks. Replace() is meant for the thread that applies languages (the main
// thread); writers are serialised among themselves by `writer_mutex_`, which
// guards the pool and nothing else. Each entry is a pointer,
// swapped atomically, to an immutable string in a pool that only grows, so a
// reader gets either the old or the new text of an entry, never a mixture,
// and a text it was given stays valid for the life of the table. The pool
// holds each distinct text once, so switching back and forth between
// languages does not make it grow.
#pragma once

#include <array>
#include <atomic>
#include <string>
#include <string_view>
#include <unordered_set>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "localisation/text_key.h"

namespace korvan {

class TextTable {
 public:
  // Every entry starts with its Czech default.
  TextTable();
  TextTable(const TextTable&) = delete;
  TextTable& operator=(const TextTable&) = delete;

  // The current text of `key` (code-page-1250 bytes); valid while the table
  // lives, also after the entry has been replaced.
  std::string_view Text(TextKey key) const {
    return *entries_[IndexOf(key)].load(std::memory_order_acquire);
  }

  // Replaces the entry whole.
  void Replace(TextKey key, std::string_view text) KORVAN_EXCLUDES(writer_mutex_);

  // Calls visit(key) for every key in table order.
  template <typename Visit>
  static void ForEachKey(Visit&& visit) {
    for (std::size_t i = 0; i < kTextKeyCount; ++i) visit(static_cast<TextKey>(i));
  }

 private:
  const std::string* Intern(std::string_view text) KORVAN_REQUIRES(writer_mutex_);

  std::array<std::atomic<const std::string*>, kTextKeyCount> entries_;
  Mutex writer_mutex_;  // readers never take it
  // Node-based: element addresses are stable.
  std::unordered_set<std::string> pool_ KORVAN_GUARDED_BY(writer_mutex_);
};

}  // namespace korvan
