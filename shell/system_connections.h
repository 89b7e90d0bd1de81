// The check list of system connections that the user lets the program point
// at its local HTTP proxy, the check states remembered when editing began,
// and the copies of each connection's own settings, put back at the end.
// Main thread only.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "shell/system_proxy_store.h"

namespace korvan {

inline constexpr std::string_view kConnectionPrefix = "IE - ";

class SystemConnections {
 public:
  struct Item {
    std::string text;
    bool checked = false;
  };

  // Item 0 is the LAN settings ("IE - " + lan_text), then one item per
  // dial-up entry. Each connection's settings are queried; one whose query
  // fails keeps its item but has no saved copy.
  void Build(std::string_view lan_text, const std::vector<std::string>& dial_up_names, SystemProxyStore& store);

  // Checks the items stored in the configuration: "IE -" or item 0's text
  // stands for item 0; other names must equal an item's text exactly.
  void CheckStored(const std::vector<std::string>& names);

  void RememberStates();
  void RestoreStates();
  bool ChangedSinceRemembered(std::size_t index) const;

  // Switches the program's proxy on or off for the item with this text
  // (item 0 passed as "IE - "). Returns the store's error code, 0 when fine
  // or when the text is not a system connection.
  int SetConnection(std::string_view item_text, bool on, int http_port, SystemProxyStore& store);

  // The text a checked item is stored under: item 0 as "IE - ".
  std::string StoredName(std::size_t index) const;

  // After a run that ended without putting the settings back (killed, power
  // cut), a connection still carries the program's settings and the copy
  // just queried is worthless; the copy the last run wrote down, when it is
  // the user's own, is the one to put back at the end.
  void AdoptPreviousCopies(const std::vector<TIESettings>& previous);

  std::vector<Item> items;
  std::vector<TIESettings> saved;
  bool enabled = false;
  bool visible = true;

 private:
  std::vector<bool> remembered_;
};

// The settings the program applies to a connection: direct and proxy, the
// local HTTP port, local addresses bypassed.
TIESettings ProgramProxySettings(std::string_view connection_name, int http_port);

// Whether `entry` is what the program applies, for any local port: a run
// on another port leaves settings that are just as much the program's.
bool IsProgramProxySettings(const TIESettings& entry);

}  // namespace korvan
