#include "server/ftp_url.h"

#include <cctype>

namespace korvan::server {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A '%' without two hex digits behind it stands for itself, as browsers
// send it. nullopt when the result holds a byte that would end an FTP
// command line.
std::optional<std::string> Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      const int high = HexValue(text[i + 1]);
      const int low = HexValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        c = static_cast<char>(high * 16 + low);
        i += 2;
      }
    }
    if (c == '\0' || c == '\r' || c == '\n') return std::nullopt;
    out += c;
  }
  return out;
}

bool IsUnreserved(unsigned char c) {
  return std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~';
}

std::string Encode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (IsUnreserved(c)) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

}  // namespace

std::string FtpTarget::path() const {
  std::string out = "/";
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (i > 0) out += '/';
    out += segments[i];
  }
  return out;
}

bool IsFtpUrl(std::string_view target) {
  constexpr std::string_view kScheme = "ftp://";
  if (target.size() < kScheme.size()) return false;
  for (std::size_t i = 0; i < kScheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(target[i])) != kScheme[i]) return false;
  }
  return true;
}

std::optional<FtpTarget> ParseFtpTarget(std::string_view target) {
  if (!IsFtpUrl(target)) return std::nullopt;
  constexpr std::size_t kSchemeLength = 6;
  const std::string_view after = target.substr(kSchemeLength);
  const auto end = after.find_first_of("/?#");
  std::string_view authority = after.substr(0, end);

  FtpTarget out;
  if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
    const std::string_view userinfo = authority.substr(0, at);
    authority = authority.substr(at + 1);
    const auto colon = userinfo.find(':');
    auto user = Decode(userinfo.substr(0, colon));
    auto password = Decode(colon == std::string_view::npos ? std::string_view() : userinfo.substr(colon + 1));
    if (!user || !password) return std::nullopt;
    if (!user->empty()) {
      out.user = std::move(*user);
      out.password = std::move(*password);
    }
  }
  const auto address = ParseAuthority(authority, 21);
  if (!address) return std::nullopt;
  out.address = *address;

  std::string_view path = end == std::string_view::npos ? std::string_view() : after.substr(end);
  path = path.substr(0, path.find_first_of("?#"));
  out.asked_url = std::string(target.substr(0, kSchemeLength + (end == std::string_view::npos ? after.size() : end)));
  if (path.empty()) {
    out.asked_url += '/';
    path = "/";
  } else {
    out.asked_url += path;
  }
  path.remove_prefix(1);
  out.names_directory = path.empty() || path.back() == '/';
  if (out.names_directory && !path.empty()) path.remove_suffix(1);
  while (!path.empty()) {
    const auto slash = path.find('/');
    auto segment = Decode(path.substr(0, slash));
    if (!segment) return std::nullopt;
    out.segments.push_back(std::move(*segment));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
    if (path.empty()) out.segments.emplace_back();  // "a//" keeps its empty last name
  }
  return out;
}

std::string CurlUrl(const FtpTarget& target, bool as_directory) {
  const bool v6 = target.address.host.find(':') != std::string::npos;
  std::string url = "ftp://";
  url += v6 ? "[" + target.address.host + "]" : target.address.host;
  url += ":" + std::to_string(target.address.port) + "/";
  for (std::size_t i = 0; i < target.segments.size(); ++i) {
    if (i > 0) url += '/';
    url += Encode(target.segments[i]);
  }
  if (as_directory && url.back() != '/') url += '/';
  return url;
}

std::string ListingUrl(const FtpTarget& target) {
  std::string url = target.asked_url;
  if (url.back() != '/') url += '/';
  return url;
}

}  // namespace korvan::server
