#include "shell/system_connections.h"

#include <algorithm>

namespace korvan {

TIESettings ProgramProxySettings(std::string_view connection_name, int http_port) {
  return TIESettings{std::string(connection_name), 3, "localhost:" + std::to_string(http_port),
                     "127.0.0.1;localhost;<local>"};
}

void SystemConnections::Build(std::string_view lan_text, const std::vector<std::string>& dial_up_names,
                              SystemProxyStore& store) {
  items.clear();
  saved.clear();
  items.push_back({std::string(kConnectionPrefix) + std::string(lan_text), false});
  saved.push_back(TIESettings{});
  for (const auto& name : dial_up_names) {
    items.push_back({std::string(kConnectionPrefix) + name, false});
    saved.push_back(TIESettings{name, 0, {}, {}});
  }
  std::erase_if(saved, [&store](TIESettings& entry) { return store.Query(entry) != 0; });
  RememberStates();
}

void SystemConnections::CheckStored(const std::vector<std::string>& names) {
  for (const auto& name : names) {
    for (std::size_t i = 0; i < items.size(); ++i) {
      const bool match = i == 0 ? (name == "IE -" || name == items[0].text) : name == items[i].text;
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
    if (entry != saved.end()) store.Query(*entry);
    return store.Apply(program);
  }
  // Putting back a copy that is the program's own would leave the proxy on:
  // clear the settings instead.
  if (entry == saved.end() || (entry->flags == 3 && entry->proxy_server == program.proxy_server &&
                               entry->bypass_list == program.bypass_list)) {
    return store.Apply(TIESettings{std::string(name), 0, {}, {}});
  }
  return store.Apply(*entry);
}

}  // namespace korvan
