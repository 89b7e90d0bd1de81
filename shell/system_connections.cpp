#include "shell/system_connections.h"

#include <algorithm>

namespace korvan {
namespace {

constexpr std::string_view kProgramHost = "localhost:";
constexpr std::string_view kProgramBypassList = "127.0.0.1;localhost;<local>";

}  // namespace

TIESettings ProgramProxySettings(std::string_view connection_name, int http_port) {
  TIESettings settings;
  settings.connection_name = std::string(connection_name);
  settings.flags = 3;
  settings.proxy_server = std::string(kProgramHost) + std::to_string(http_port);
  settings.bypass_list = std::string(kProgramBypassList);
  return settings;
}

bool IsProgramProxySettings(const TIESettings& entry) {
  if (entry.flags != 3 || entry.bypass_list != kProgramBypassList) return false;
  const std::string_view server = entry.proxy_server;
  if (!server.starts_with(kProgramHost)) return false;
  const std::string_view port = server.substr(kProgramHost.size());
  return !port.empty() && port.size() <= 5 && std::all_of(port.begin(), port.end(), [](char c) {
    return c >= '0' && c <= '9';
  });
}

void SystemConnections::Build(std::string_view lan_text, const std::vector<std::string>& dial_up_names,
                              SystemProxyStore& store) {
  items.clear();
  saved.clear();
  items.push_back({std::string(kConnectionPrefix) + std::string(lan_text), false});
  saved.push_back(TIESettings{});
  for (const auto& name : dial_up_names) {
    items.push_back({std::string(kConnectionPrefix) + name, false});
    TIESettings entry;
    entry.connection_name = name;
    saved.push_back(std::move(entry));
  }
  std::erase_if(saved, [&store](TIESettings& entry) { return store.Query(entry) != 0; });
  RememberStates();
}

void SystemConnections::CheckStored(const std::vector<std::string>& names) {
  for (const auto& name : names) {
    for (std::size_t i = 0; i < items.size(); ++i) {
      // Item 0 is stored as "IE - "; a file that keeps the trailing blank
      // (ours quotes it) gives it back whole, one that trims it "IE -".
      const bool match =
          i == 0 ? (name == "IE -" || name == kConnectionPrefix || name == items[0].text) : name == items[i].text;
      if (match) items[i].checked = true;
    }
  }
}

void SystemConnections::RememberStates() {
  remembered_.clear();
  for (const auto& item : items) remembered_.push_back(item.checked);
}

void SystemConnections::RestoreStates() {
  for (std::size_t i = 0; i < items.size() && i < remembered_.size(); ++i) items[i].checked = remembered_[i];
}

bool SystemConnections::ChangedSinceRemembered(std::size_t index) const {
  const bool before = index < remembered_.size() && remembered_[index];
  return items[index].checked != before;
}

std::string SystemConnections::StoredName(std::size_t index) const {
  return index == 0 ? std::string(kConnectionPrefix) : items[index].text;
}

int SystemConnections::SetConnection(std::string_view item_text, bool on, int http_port, SystemProxyStore& store) {
  if (!item_text.starts_with(kConnectionPrefix)) return 0;
  const std::string_view name = item_text.substr(kConnectionPrefix.size());
  const TIESettings program = ProgramProxySettings(name, http_port);
  auto entry = std::find_if(saved.begin(), saved.end(),
                            [name](const TIESettings& s) { return s.connection_name == name; });
  if (on) {
    if (entry != saved.end()) {
      // The copy follows the connection's settings of this moment, unless
      // they are the program's own and the copy is not.
      TIESettings now = *entry;
      if (store.Query(now) == 0 && !(IsProgramProxySettings(now) && !IsProgramProxySettings(*entry))) {
        *entry = std::move(now);
      }
    }
    return store.Apply(program);
  }
  // Putting back a copy that is the program's own would leave the proxy on:
  // clear the settings instead.
  if (entry == saved.end() || IsProgramProxySettings(*entry)) {
    TIESettings cleared;
    cleared.connection_name = std::string(name);
    return store.Apply(cleared);
  }
  return store.Apply(*entry);
}

void SystemConnections::AdoptPreviousCopies(const std::vector<TIESettings>& previous) {
  for (auto& entry : saved) {
    if (!IsProgramProxySettings(entry)) continue;
    const auto copy = std::find_if(previous.begin(), previous.end(), [&entry](const TIESettings& p) {
      return p.connection_name == entry.connection_name;
    });
    if (copy != previous.end() && !IsProgramProxySettings(*copy)) entry = *copy;
  }
}

}  // namespace korvan
