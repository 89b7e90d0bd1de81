// The server's log: one line per event on standard error, with a UTC time
// stamp. Safe from any thread. Text from the network is escaped before it is
// written, so a client cannot forge log lines.
#pragma once

#include <string>
#include <string_view>

namespace korvan::server {

void Log(std::string_view text);
void SetLogEnabled(bool enabled);

// Printable ASCII kept; anything else as \xNN; cut to `max` characters.
std::string Printable(std::string_view text, std::size_t max = 200);

}  // namespace korvan::server
