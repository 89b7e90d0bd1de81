#include "shell/port_row.h"

#include <array>

namespace korvan {

bool IsKnownProtocol(const std::optional<int>& code) {
  return code.has_value() && *code >= 0 && *code < kProtocolCount;
}

std::string_view ProtocolText(const std::optional<int>& code) {
  static constexpr std::array<std::string_view, kProtocolCount> kTexts = {"HTTP", "TCP/IP", "SOCKS 4", "SMTP"};
  return IsKnownProtocol(code) ? kTexts[static_cast<std::size_t>(*code)] : std::string_view();
}

std::string CPortText(const PortRow& row) { return row.Protocol == 1 ? std::to_string(row.CPort) : "?"; }

std::string TimeOutText(const PortRow& row) { return std::to_string(row.TimeOut * 100); }

}  // namespace korvan
