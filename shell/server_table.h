// The built-in table of compression servers: one entry. The configuration
// may name another server with the keys ServerAddress / ServerPort.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvan {

struct ServerTableEntry {
  std::string_view display_name;
  std::uint32_t address;  // IPv4, first octet in the most significant byte
};

inline constexpr std::array<ServerTableEntry, 1> kServerTable = {{{"KORVAN", 0x7F000001}}};

// "a.b.c.d", most significant byte first.
std::string DottedAddress(std::uint32_t address);

}  // namespace korvan
