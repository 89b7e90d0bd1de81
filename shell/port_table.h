// The port table: its rows, the port entries the workers read, and one
// listening socket per entry in use.
//
// Storing a row (new or edited) picks an entry (the edited row's own, else
// the first free one, else a new one at the end), writes it and opens its
// port. A port that cannot be opened is reported through `on_open_failed`
// and the row stays in the table with its listener closed, so the user can
// edit it or reset the ports later. Entries are never removed: workers find
// theirs by number.
//
// Main thread only. Workers read entries through CopyEntry() during their
// session preparation on the main thread and keep the copy.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "shell/listener.h"
#include "shell/port_row.h"

namespace korvan {

// A TCP/IP mapping to this address and port 25 is the server's mail relay
// and is stored as an SMTP row.
inline constexpr std::string_view kMailRelayAddress = "10.0.0.25";
inline constexpr int kDefaultHttpPort = 3128;

class PortTable {
 public:
  using OpenFailed = std::function<void(int port)>;

  PortTable(ListenerFactory& factory, MessagePump& pump, OpenFailed on_open_failed);
  ~PortTable();
  PortTable(const PortTable&) = delete;
  PortTable& operator=(const PortTable&) = delete;

  const std::vector<PortRow>& rows() const { return rows_; }
  const std::vector<TSocketAr>& entries() const { return entries_; }
  std::optional<PortEntryCopy> CopyEntry(std::size_t entry) const;

  void Append(PortRow row);
  // Rewrites the row at `index`; its entry is the one holding its old port.
  void Edit(std::size_t index, PortRow row);
  // Closes the row's connections and listener, frees its entry, drops the row.
  void Delete(std::size_t index);

  // Closes every client connection and reopens every listener.
  void ResetConnections();
  // Tear-down: closes every listener and its connections.
  void DeactivateAll();

  bool HasPort(int port) const;
  // The local port of the first HTTP row, else 3128.
  int FirstHttpPort() const;
  // Delete and edit are offered only when there is a row.
  bool RowActionsEnabled() const { return !rows_.empty(); }

 private:
  void BeforePost(PortRow& row, std::optional<int> old_port);
  void Activate(TSocketAr& entry);
  void CloseClientConnections(Listener& listener);

  ListenerFactory& factory_;
  MessagePump& pump_;
  OpenFailed on_open_failed_;
  std::vector<PortRow> rows_;
  std::vector<TSocketAr> entries_;
};

}  // namespace korvan
