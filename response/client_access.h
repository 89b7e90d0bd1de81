// Which local clients may use a port: decided by the local address on which
// the connection arrived, against the user's list of admitted addresses.
//
// Thread rule: pure functions; the main thread calls them during session
// preparation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvan {

struct AccessDecision {
  bool admitted = false;
  // For a refusal worth logging: the log text (empty when nothing is logged).
  std::string log_text;
};

// `accept_ip`: dotted addresses separated by ";", compared exactly as typed.
// `client_ip`: the client's IPv4 address in network order. A connection from
// the self-updater (client port equal to `updater_local_port`) is admitted
// only when it came in on a loopback address, since the updater connects to
// localhost and anyone else could pick that source port.
// `access_denied_text` is the text of AccessDeniedErr (one %s: the local
// address); `log_refusals` the "log refused attempts" switch.
AccessDecision CheckIP(std::string_view accept_ip, std::string_view local_address, std::uint32_t client_ip,
                       std::int32_t client_port, std::int32_t updater_local_port, bool log_refusals,
                       std::string_view access_denied_text);

// Dotted decimal text of an IPv4 address held in network order.
std::string DottedNetworkAddress(std::uint32_t network_order);

}  // namespace korvan
