// The proxy server text and bypass list of the system connection settings,
// and the host and port of each protocol's proxy that the desktops keep.
// "host:port" stands for the same proxy for HTTP, HTTPS and FTP (and none
// for SOCKS); otherwise the text lists "http=host:port;https=...;ftp=...;
// socks=...". Formatting what was parsed gives the text back, and parsing
// what was formatted gives the hosts back, so a desktop's settings survive
// the trip through the shell.
//
// Thread rule: pure functions, any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvan {

struct ProxyHostPort {
  std::string host;
  int port = 0;
  bool empty() const { return host.empty() && port == 0; }
  bool operator==(const ProxyHostPort&) const = default;
};

struct ProxyHosts {
  ProxyHostPort http, https, ftp, socks;
  bool operator==(const ProxyHosts&) const = default;
};

std::string FormatProxyServer(const ProxyHosts& hosts);
ProxyHosts ParseProxyServer(std::string_view text);

// "host:port" (the port after the last colon when only digits follow it;
// port 0 when there is none).
ProxyHostPort ParseHostPort(std::string_view text);
std::string FormatHostPort(const ProxyHostPort& value);

// Items of a list separated by `separator`, blanks around each trimmed,
// empty items left out; and back.
std::vector<std::string> SplitList(std::string_view text, char separator);
std::string JoinList(const std::vector<std::string>& items, char separator);

}  // namespace korvan
