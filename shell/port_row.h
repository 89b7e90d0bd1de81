// One row of the port table and the port entry behind it.
//
// Thread rule: main thread only. Workers never see an entry: they get a
// PortEntryCopy during their session preparation, on the main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "shell/listener.h"

namespace korvan {

inline constexpr std::size_t kMaxHostLength = 30;
inline constexpr int kProtocolCount = 4;  // 0 HTTP, 1 TCP/IP, 2 SOCKS 4, 3 SMTP
// The entry protocol of a row whose kind is unknown; its port is never opened.
inline constexpr std::uint8_t kNoProtocol = 0xFF;

// A row of the port table (`SocketsMD`).
struct PortRow {
  int Port = 0;
  std::optional<int> Protocol;  // empty or out of range in a damaged file
  std::string Host;
  int CPort = 0;
  int TimeOut = 0;
  bool operator==(const PortRow&) const = default;
};

// A port entry. Entries are numbered by their place in the table's array,
// which only grows; a free entry has no listener.
struct TSocketAr {
  std::uint8_t protocol = 0;
  std::int32_t local_port = 0;  // -1 after its row was deleted
  std::int32_t remote_port = 0;
  std::string remote_host;
  std::unique_ptr<Listener> listener;
  std::uint8_t timeout = 0;
};

// What a worker copies from its entry when it opens its session.
struct PortEntryCopy {
  std::uint8_t protocol = 0;
  std::int32_t local_port = 0;
  std::int32_t remote_port = 0;
  std::string remote_host;
  std::uint8_t timeout = 0;
};

bool IsKnownProtocol(const std::optional<int>& code);

// Column texts of the table.
std::string_view ProtocolText(const std::optional<int>& code);  // "HTTP" ...; empty when unknown
std::string CPortText(const PortRow& row);                      // the number for TCP/IP, else "?"
std::string TimeOutText(const PortRow& row);                    // time-out x 100

}  // namespace korvan
