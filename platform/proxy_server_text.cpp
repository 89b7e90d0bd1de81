#include "platform/proxy_server_text.h"

#include <algorithm>

namespace korvan {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool AllDigits(std::string_view text) {
  return !text.empty() && text.size() <= 5 && std::all_of(text.begin(), text.end(), [](char c) {
    return c >= '0' && c <= '9';
  });
}

}  // namespace

ProxyHostPort ParseHostPort(std::string_view text) {
  text = Trim(text);
  const std::size_t colon = text.rfind(':');
  if (colon != std::string_view::npos && AllDigits(text.substr(colon + 1))) {
    return {std::string(text.substr(0, colon)), std::stoi(std::string(text.substr(colon + 1)))};
  }
  return {std::string(text), 0};
}

std::string FormatHostPort(const ProxyHostPort& value) {
  return value.port == 0 ? value.host : value.host + ":" + std::to_string(value.port);
}

std::string FormatProxyServer(const ProxyHosts& hosts) {
  if (!hosts.http.empty() && hosts.https == hosts.http && hosts.ftp == hosts.http && hosts.socks.empty() &&
      hosts.http.port != 0) {
    return FormatHostPort(hosts.http);
  }
  std::string text;
  const auto add = [&text](std::string_view scheme, const ProxyHostPort& value) {
    if (value.empty()) return;
    if (!text.empty()) text += ';';
    text += std::string(scheme) + "=" + FormatHostPort(value);
  };
  add("http", hosts.http);
  add("https", hosts.https);
  add("ftp", hosts.ftp);
  add("socks", hosts.socks);
  return text;
}

ProxyHosts ParseProxyServer(std::string_view text) {
  ProxyHosts hosts;
  for (const std::string& item : SplitList(text, ';')) {
    const std::size_t equals = item.find('=');
    if (equals == std::string::npos) {
      hosts.http = hosts.https = hosts.ftp = ParseHostPort(item);
      continue;
    }
    const std::string_view scheme = Trim(std::string_view(item).substr(0, equals));
    const ProxyHostPort value = ParseHostPort(std::string_view(item).substr(equals + 1));
    if (scheme == "http") hosts.http = value;
    if (scheme == "https") hosts.https = value;
    if (scheme == "ftp") hosts.ftp = value;
    if (scheme == "socks") hosts.socks = value;
  }
  return hosts;
}

std::vector<std::string> SplitList(std::string_view text, char separator) {
  std::vector<std::string> items;
  while (!text.empty()) {
    const std::size_t end = text.find(separator);
    const std::string_view item = Trim(text.substr(0, end));
    if (!item.empty()) items.emplace_back(item);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return items;
}

std::string JoinList(const std::vector<std::string>& items, char separator) {
  std::string text;
  for (const auto& item : items) {
    if (!text.empty()) text += separator;
    text += item;
  }
  return text;
}

}  // namespace korvan
