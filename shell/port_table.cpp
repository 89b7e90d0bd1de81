#include "shell/port_table.h"

#include <algorithm>
#include <utility>

namespace korvan {
namespace {

bool IsUsablePort(int port) { return port >= 1 && port <= 65535; }

}  // namespace

PortTable::PortTable(ListenerFactory& factory, MessagePump& pump, OpenFailed on_open_failed)
    : factory_(factory), pump_(pump), on_open_failed_(std::move(on_open_failed)) {}

PortTable::~PortTable() { DeactivateAll(); }

std::optional<PortEntryCopy> PortTable::CopyEntry(std::size_t entry) const {
  if (entry >= entries_.size()) return std::nullopt;
  const TSocketAr& e = entries_[entry];
  return PortEntryCopy{e.protocol, e.local_port, e.remote_port, e.remote_host, e.timeout};
}

void PortTable::Append(PortRow row) {
  BeforePost(row, std::nullopt);
  rows_.push_back(std::move(row));
}

void PortTable::Edit(std::size_t index, PortRow row) {
  if (index >= rows_.size()) return;
  BeforePost(row, rows_[index].Port);
  rows_[index] = std::move(row);
}

void PortTable::Delete(std::size_t index) {
  if (index >= rows_.size()) return;
  const int port = rows_[index].Port;
  for (TSocketAr& entry : entries_) {
    if (entry.listener && entry.local_port == port) {
      CloseClientConnections(*entry.listener);
      entry.listener->Deactivate();
      entry.listener.reset();
      entry.local_port = -1;
    }
  }
  rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(index));
}

void PortTable::BeforePost(PortRow& row, std::optional<int> old_port) {
  if (row.Protocol == 1 && row.Host == kMailRelayAddress && row.CPort == 25) {
    row.Protocol = 3;
    row.Host = "SMTP server";
    row.CPort = 0;
  }
  if (row.Host.size() > kMaxHostLength) row.Host.resize(kMaxHostLength);
  row.TimeOut = std::clamp(row.TimeOut, 0, 15);

  auto chosen = entries_.end();
  if (old_port) {
    chosen = std::find_if(entries_.begin(), entries_.end(),
                          [&](const TSocketAr& e) { return e.local_port == *old_port; });
  }
  if (chosen == entries_.end()) {
    chosen = std::find_if(entries_.begin(), entries_.end(), [](const TSocketAr& e) { return !e.listener; });
  }
  if (chosen == entries_.end()) {
    entries_.emplace_back();
    chosen = entries_.end() - 1;
  }
  TSocketAr& entry = *chosen;
  if (entry.listener) {
    CloseClientConnections(*entry.listener);
    entry.listener->Deactivate();
  } else {
    entry.listener = factory_.Create();
  }
  entry.local_port = row.Port;
  entry.remote_port = row.CPort;
  entry.remote_host = row.Host;
  entry.protocol = IsKnownProtocol(row.Protocol) ? static_cast<std::uint8_t>(*row.Protocol) : kNoProtocol;
  entry.listener->set_port(row.Port);
  entry.listener->set_entry(static_cast<std::size_t>(chosen - entries_.begin()));
  entry.timeout = static_cast<std::uint8_t>(row.TimeOut);
  // A damaged file may name a port or a kind that cannot be served; such a
  // row is kept as it is, but its port stays closed like one already taken.
  Activate(entry);
}

void PortTable::Activate(TSocketAr& entry) {
  const bool usable = IsUsablePort(entry.local_port) && entry.protocol < kProtocolCount;
  std::string error;
  if (!usable || !entry.listener->Activate(&error)) {
    if (on_open_failed_) on_open_failed_(entry.listener->port());
  }
}

void PortTable::ResetConnections() {
  for (TSocketAr& entry : entries_) {
    if (!entry.listener) continue;
    CloseClientConnections(*entry.listener);
    entry.listener->Deactivate();
    Activate(entry);
  }
}

void PortTable::DeactivateAll() {
  for (TSocketAr& entry : entries_) {
    if (entry.listener) entry.listener->Deactivate();
  }
}

void PortTable::CloseClientConnections(Listener& listener) {
  // Each close takes the connection off the listener's list at once, so the
  // loop ends even when a worker is slow to notice.
  while (listener.ActiveConnectionCount() > 0) {
    listener.CloseFirstConnection();
    pump_.RunPending();
  }
}

bool PortTable::HasPort(int port) const {
  return std::any_of(rows_.begin(), rows_.end(), [port](const PortRow& r) { return r.Port == port; });
}

int PortTable::FirstHttpPort() const {
  const auto http = std::find_if(rows_.begin(), rows_.end(), [](const PortRow& r) { return r.Protocol == 0; });
  return http == rows_.end() ? kDefaultHttpPort : http->Port;
}

}  // namespace korvan
