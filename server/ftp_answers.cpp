#include "server/ftp_answers.h"

#include <array>
#include <cctype>
#include <utility>

#include "common/html_escape.h"

namespace korvan::server {

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view ConnectionLine(bool keep_alive) {
  return keep_alive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
}

}  // namespace

std::string_view ContentTypeForName(std::string_view name) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 30> kTypes = {{
      {"htm", "text/html"},          {"html", "text/html"},
      {"txt", "text/plain"},         {"css", "text/css"},
      {"csv", "text/csv"},           {"js", "text/javascript"},
      {"json", "application/json"},  {"xml", "application/xml"},
      {"gif", "image/gif"},          {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},        {"png", "image/png"},
      {"svg", "image/svg+xml"},      {"webp", "image/webp"},
      {"ico", "image/x-icon"},       {"pdf", "application/pdf"},
      {"zip", "application/zip"},    {"gz", "application/gzip"},
      {"tgz", "application/gzip"},   {"bz2", "application/x-bzip2"},
      {"xz", "application/x-xz"},    {"tar", "application/x-tar"},
      {"7z", "application/x-7z-compressed"}, {"mp3", "audio/mpeg"},
      {"ogg", "audio/ogg"},          {"mp4", "video/mp4"},
      {"avi", "video/x-msvideo"},    {"swf", "application/x-shockwave-flash"},
      {"rtf", "application/rtf"},    {"iso", "application/octet-stream"},
  }};
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == name.size()) return "application/octet-stream";
  const std::string extension = Lower(name.substr(dot + 1));
  for (const auto& [ext, type] : kTypes) {
    if (ext == extension) return type;
  }
  return "application/octet-stream";
}

std::string FtpFileHeader(std::string_view content_type, std::optional<std::uint64_t> length, bool keep_alive) {
  std::string header = "HTTP/1.1 200 OK\r\nContent-Type: ";
  header += content_type;
  header += "\r\n";
  if (length) header += "Content-Length: " + std::to_string(*length) + "\r\n";
  header += ConnectionLine(keep_alive && length.has_value());
  header += "\r\n";
  return header;
}

std::string FtpErrorAnswer(unsigned status, std::string_view reason, std::string_view message, bool keep_alive,
                           bool head) {
  const std::string title = std::to_string(status) + " " + std::string(reason);
  const std::string body = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title +
                           "</title></head>\n<body><h1>" + title + "</h1>\n<p>" + EscapeHtml(message) +
                           "</p></body></html>\n";
  std::string answer = "HTTP/1.1 " + title + "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\n";
  answer += ConnectionLine(keep_alive);
  answer += "\r\n";
  if (!head) answer += body;
  return answer;
}

}  // namespace korvan::server
