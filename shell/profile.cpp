#include "shell/profile.h"

#include <charconv>

namespace korvan {

std::optional<std::int32_t> ParseProfileInteger(std::string_view text) {
  const bool plus = !text.empty() && text.front() == '+';
  if (plus) text.remove_prefix(1);
  if (text.empty() || (plus && text.front() == '-')) return std::nullopt;
  std::int32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string ReadProfileString(const ProfileDocument& doc, std::string_view section, std::string_view key,
                              std::string_view fallback) {
  auto value = doc.Find(section, key);
  return value ? std::move(*value) : std::string(fallback);
}

std::int32_t ReadProfileInteger(const ProfileDocument& doc, std::string_view section, std::string_view key,
                                std::int32_t fallback) {
  const auto value = doc.Find(section, key);
  if (!value) return fallback;
  return ParseProfileInteger(*value).value_or(fallback);
}

bool ReadProfileBool(const ProfileDocument& doc, std::string_view section, std::string_view key, bool fallback) {
  return ReadProfileInteger(doc, section, key, fallback ? 1 : 0) != 0;
}

ProfileDocument Profile::Read() {
  ProfileLoad load = store_.Load();
  if (load.status == ProfileLoad::Status::kError) {
    last_error_ = load.error;
    return {};
  }
  return ProfileDocument::Parse(load.bytes);
}

std::string Profile::ReadString(std::string_view section, std::string_view key, std::string_view fallback) {
  return ReadProfileString(Read(), section, key, fallback);
}

std::int32_t Profile::ReadInteger(std::string_view section, std::string_view key, std::int32_t fallback) {
  return ReadProfileInteger(Read(), section, key, fallback);
}

bool Profile::ReadBool(std::string_view section, std::string_view key, bool fallback) {
  return ReadProfileBool(Read(), section, key, fallback);
}

std::optional<ProfileDocument> Profile::LoadForEdit() {
  ProfileLoad load = store_.Load();
  switch (load.status) {
    case ProfileLoad::Status::kOk:
      return ProfileDocument::Parse(load.bytes);
    case ProfileLoad::Status::kMissing:
      return ProfileDocument{};
    case ProfileLoad::Status::kError:
      break;
  }
  last_error_ = "not written, the existing file cannot be read: " + load.error;
  return std::nullopt;
}

bool Profile::Store(const ProfileDocument& doc) {
  std::string error;
  if (store_.Replace(doc.Serialize(), &error)) return true;
  last_error_ = error;
  return false;
}

bool Profile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  auto doc = LoadForEdit();
  if (!doc) return false;
  doc->Write(section, key, value);
  return Store(*doc);
}

bool Profile::WriteInteger(std::string_view section, std::string_view key, std::int64_t value) {
  return WriteString(section, key, std::to_string(value));
}

bool Profile::WriteBool(std::string_view section, std::string_view key, bool value) {
  return WriteString(section, key, value ? "1" : "0");
}

Profile::Batch Profile::BeginBatch() {
  auto doc = LoadForEdit();
  const bool usable = doc.has_value();
  return Batch(*this, usable ? std::move(*doc) : ProfileDocument{}, usable);
}

void Profile::Batch::WriteInteger(std::string_view section, std::string_view key, std::int64_t value) {
  doc_.Write(section, key, std::to_string(value));
}

bool Profile::Batch::Commit() { return usable_ && owner_.Store(doc_); }

}  // namespace korvan
