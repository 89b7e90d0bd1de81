#include "response/client_access.h"

#include "localisation/text_format.h"

namespace korvan {

std::string DottedNetworkAddress(std::uint32_t network_order) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(&network_order);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
         std::to_string(b[3]);
}

AccessDecision CheckIP(std::string_view accept_ip, std::string_view local_address, std::uint32_t client_ip,
                       std::int32_t client_port, std::int32_t updater_local_port, bool log_refusals,
                       std::string_view access_denied_text) {
  AccessDecision decision;
  const bool loopback = local_address.starts_with("127.");
  if (client_port == updater_local_port && loopback) {
    decision.admitted = true;
    return decision;
  }
  const std::string list = ";" + std::string(accept_ip) + ";";
  const std::string entry = ";" + std::string(local_address) + ";";
  if (list.find(entry) != std::string::npos) {
    decision.admitted = true;
    return decision;
  }
  if (log_refusals && local_address != "0.0.0.0") {
    decision.log_text = FormatText(access_denied_text, {local_address}) + "\r\n\t IP: " + DottedNetworkAddress(client_ip);
  }
  return decision;
}

}  // namespace korvan
