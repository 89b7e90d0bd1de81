// Typed access to one profile file with the semantics the settings rely on:
// values are text; booleans are written "1" / "0"; a key that is absent or
// not a whole number reads as the caller's default; every other section and
// key survives a write.
//
// A file that exists but cannot be read gives defaults to every read, and
// every write to it fails rather than replace content it never saw.
// Main thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "shell/profile_document.h"
#include "shell/profile_store.h"

namespace korvan {

// Typed reads from an already loaded document.
std::string ReadProfileString(const ProfileDocument& doc, std::string_view section, std::string_view key,
                              std::string_view fallback);
std::int32_t ReadProfileInteger(const ProfileDocument& doc, std::string_view section, std::string_view key,
                                std::int32_t fallback);
// A number other than 0 is true, as with the profile functions.
bool ReadProfileBool(const ProfileDocument& doc, std::string_view section, std::string_view key, bool fallback);

// A whole decimal 32-bit number with an optional sign, else nullopt.
std::optional<std::int32_t> ParseProfileInteger(std::string_view text);

class Profile {
 public:
  explicit Profile(ProfileStore& store) : store_(store) {}

  // The file's content now; empty when the file is missing or unreadable
  // (see last_error()).
  ProfileDocument Read();

  std::string ReadString(std::string_view section, std::string_view key, std::string_view fallback);
  std::int32_t ReadInteger(std::string_view section, std::string_view key, std::int32_t fallback);
  bool ReadBool(std::string_view section, std::string_view key, bool fallback);

  bool WriteString(std::string_view section, std::string_view key, std::string_view value);
  bool WriteInteger(std::string_view section, std::string_view key, std::int64_t value);
  bool WriteBool(std::string_view section, std::string_view key, bool value);

  // Several writes that reach the file together, in one replacement, when
  // Commit() runs; a crash before that leaves the file as it was.
  class Batch {
   public:
    void WriteString(std::string_view section, std::string_view key, std::string_view value) {
      doc_.Write(section, key, value);
    }
    void WriteInteger(std::string_view section, std::string_view key, std::int64_t value);
    void WriteBool(std::string_view section, std::string_view key, bool value) {
      doc_.Write(section, key, value ? "1" : "0");
    }
    bool Commit();

   private:
    friend class Profile;
    Batch(Profile& owner, ProfileDocument doc, bool usable)
        : owner_(owner), doc_(std::move(doc)), usable_(usable) {}
    Profile& owner_;
    ProfileDocument doc_;
    bool usable_;
  };
  Batch BeginBatch();

  const std::string& last_error() const { return last_error_; }

 private:
  // Loads for editing: nullopt when the file exists but cannot be read.
  std::optional<ProfileDocument> LoadForEdit();
  bool Store(const ProfileDocument& doc);

  ProfileStore& store_;
  std::string last_error_;
};

}  // namespace korvan
