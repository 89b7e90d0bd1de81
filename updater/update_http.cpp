#include "updater/update_http.h"

#include <algorithm>
#include <charconv>

namespace korvan {

std::string BuildUpdateRequest(std::string_view url, std::string_view host, std::string_view version_text) {
  std::string request;
  request.append("GET ").append(url).append(" HTTP/1.1\r\nHost: ").append(host);
  request.append("\r\nKorvan buffer: 4096\r\nPragma: no-cache\r\nUser-Agent: KORVAN ");
  request.append(version_text).append("\r\n\r\n");
  return request;
}

std::string HostOfUrl(std::string_view url) {
  const std::size_t slashes = url.find("//");
  if (slashes != std::string_view::npos) url.remove_prefix(slashes + 2);
  return std::string(url.substr(0, url.find('/')));
}

std::string VersionInfoUrl(std::string_view update_host) {
  return "http://" + std::string(update_host) + "/version_1_01.info";
}

std::int64_t ContentLengthOf(std::string_view head) {
  constexpr std::string_view kField = "CONTENT-LENGTH:";
  std::string upper(head);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
  const std::size_t at = upper.find(kField);
  if (at == std::string::npos) return -1;
  std::string_view value = std::string_view(head).substr(at + kField.size());
  value = value.substr(0, value.find("\r\n"));
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
  std::int64_t length = -1;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
  if (value.empty() || error != std::errc() || end != value.data() + value.size() || length < 0) return -1;
  return length;
}

std::size_t HeadEndOf(std::string_view response) {
  const std::size_t at = response.find("\r\n\r\n");
  return at == std::string_view::npos ? 0 : at + 4;
}

int StatusCodeOf(std::string_view response) {
  const std::size_t blank = response.find(' ');
  if (blank == std::string_view::npos) return 0;
  std::string_view code = response.substr(blank + 1, 10);
  code = code.substr(0, code.find(' '));
  while (!code.empty() && (code.front() == ' ' || code.front() == '\t')) code.remove_prefix(1);
  while (!code.empty() && (code.back() == '\r' || code.back() == '\n' || code.back() == '\t')) code.remove_suffix(1);
  int value = 0;
  const auto [end, error] = std::from_chars(code.data(), code.data() + code.size(), value);
  if (code.empty() || error != std::errc() || end != code.data() + code.size()) return 0;
  return value;
}

bool StatusIs200(std::string_view response) {
  return response.size() >= kStatusCheckSize && response.substr(9, 3) == "200";
}

}  // namespace korvan
