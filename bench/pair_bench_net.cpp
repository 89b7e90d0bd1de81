#include "bench/pair_bench_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace korvan::bench {

namespace {

constexpr std::size_t kMaxHead = 64 * 1024;
constexpr std::uint64_t kMaxKeptBody = 1ull << 30;


std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return out;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Appends what one recv() gives; false at the end of the stream or on error.
bool ReadMore(int fd, std::string& buffered) {
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffered.append(chunk, static_cast<std::size_t>(n));
    return true;
  }
}

// Takes a line ending in CRLF off the front of `buffered`, reading as needed.
bool TakeLine(int fd, std::string& buffered, std::string& line) {
  for (;;) {
    const std::size_t end = buffered.find("\r\n");
    if (end != std::string::npos) {
      line = buffered.substr(0, end);
      buffered.erase(0, end + 2);
      return true;
    }
    if (buffered.size() > kMaxHead || !ReadMore(fd, buffered)) return false;
  }
}

// Moves up to `count` body bytes from the front of `buffered` into the answer.
std::uint64_t TakeBody(std::string& buffered, std::uint64_t count, bool keep_body, HttpAnswer& answer) {
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, buffered.size()));
  if (keep_body) answer.body.append(buffered, 0, n);
  answer.body_bytes += n;
  buffered.erase(0, n);
  return n;
}

bool ReadCounted(int fd, std::string& buffered, std::uint64_t count, bool keep_body, HttpAnswer& answer) {
  if (keep_body && answer.body.size() + count > kMaxKeptBody) return false;
  while (count > 0) {
    if (buffered.empty() && !ReadMore(fd, buffered)) return false;
    count -= TakeBody(buffered, count, keep_body, answer);
  }
  return true;
}

bool ParseHead(const std::string& head, HttpAnswer& answer, std::string& error) {
  const std::size_t line_end = head.find("\r\n");
  const std::string_view status_line(head.data(), line_end == std::string::npos ? head.size() : line_end);
  if (!status_line.starts_with("HTTP/1.") || status_line.size() < 12 || status_line[8] != ' ') {
    error = "bad status line";
    return false;
  }
  const auto [ptr, ec] = std::from_chars(status_line.data() + 9, status_line.data() + 12, answer.status);
  if (ec != std::errc() || ptr != status_line.data() + 12 || answer.status < 100 || answer.status > 999) {
    error = "bad status code";
    return false;
  }
  const bool http10 = status_line[7] == '0';
  answer.fields.clear();
  std::size_t at = line_end == std::string::npos ? head.size() : line_end + 2;
  while (at < head.size()) {
    std::size_t end = head.find("\r\n", at);
    if (end == std::string::npos) end = head.size();
    const std::string_view line(head.data() + at, end - at);
    at = end + 2;
    if (line.empty()) continue;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) {
      error = "bad header line";
      return false;
    }
    answer.fields[Lower(Trim(line.substr(0, colon)))] = std::string(Trim(line.substr(colon + 1)));
  }
  const std::string connection = Lower(answer.Field("connection"));
  answer.closes =
      connection.find("close") != std::string::npos || (http10 && connection.find("keep-alive") == std::string::npos);
  return true;
}

bool ParseSize(std::string_view text, int base, std::uint64_t& value) {
  text = Trim(text);
  if (text.empty() || text.size() > 15) return false;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return ec == std::errc() && ptr == text.data() + text.size();
}

}  // namespace


// ---- CountingRelay ----------------------------------------------------------

CountingRelay::CountingRelay(std::uint16_t target) : target_(target), listener_([this](int fd) { Pump(fd); }) {}

void CountingRelay::Pump(int client) {
  const int server = ConnectLoopback(target_);
  if (server < 0) {
    ::shutdown(client, SHUT_RDWR);
    return;
  }
  listener_.Keep(server);
  ++connections_;
  // Idle connections are fine here (kept-alive ones wait long): no time-out.
  pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
  std::atomic<std::uint64_t>* counts[2] = {&up_, &down_};
  bool open[2] = {true, true};
  std::vector<char> buffer(256 * 1024);
  while (open[0] || open[1]) {
    p[0].events = open[0] ? POLLIN : 0;
    p[1].events = open[1] ? POLLIN : 0;
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int side = 0; side < 2; ++side) {
      if (!open[side] || p[side].revents == 0) continue;
      const int from = p[side].fd, to = p[1 - side].fd;
      const ssize_t n = ::recv(from, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      // Counted before it is passed on: whoever has received the bytes at
      // the far end finds them in the count.
      if (n > 0) *counts[side] += static_cast<std::uint64_t>(n);
      if (n <= 0 || !SendAll(to, std::string_view(buffer.data(), static_cast<std::size_t>(n)))) {
        // Half-close: the other direction may still carry an answer.
        open[side] = false;
        ::shutdown(to, SHUT_WR);
        if (n != 0) open[0] = open[1] = false;
      }
    }
  }
  ::shutdown(client, SHUT_RDWR);
  ::shutdown(server, SHUT_RDWR);
}

// ---- HTTP -------------------------------------------------------------------

bool ReadHttpAnswer(int fd, std::string& buffered, bool head_request, bool keep_body, HttpAnswer& answer,
                    std::string& error) {
  for (;;) {
    answer = HttpAnswer{};
    std::size_t end = 0;
    while ((end = buffered.find("\r\n\r\n")) == std::string::npos) {
      if (buffered.size() > kMaxHead) {
        error = "answer head too large";
        return false;
      }
      if (!ReadMore(fd, buffered)) {
        error = buffered.empty() ? "connection closed before an answer" : "connection closed inside the head";
        return false;
      }
    }
    const std::string head = buffered.substr(0, end);
    buffered.erase(0, end + 4);
    if (!ParseHead(head, answer, error)) return false;
    if (answer.status >= 100 && answer.status < 200 && answer.status != 101) continue;
    if (head_request || answer.status == 204 || answer.status == 304) return true;

    if (Lower(answer.Field("transfer-encoding")).find("chunked") != std::string::npos) {
      for (;;) {
        std::string line;
        std::uint64_t size = 0;
        if (!TakeLine(fd, buffered, line) || !ParseSize(line.substr(0, line.find(';')), 16, size)) {
          error = "bad chunk size line";
          return false;
        }
        if (size == 0) break;
        if (!ReadCounted(fd, buffered, size, keep_body, answer) || !TakeLine(fd, buffered, line) || !line.empty()) {
          error = "bad or short chunk";
          return false;
        }
      }
      for (std::string trailer;;) {  // trailers up to the empty line
        if (!TakeLine(fd, buffered, trailer)) {
          error = "connection closed inside the trailers";
          return false;
        }
        if (trailer.empty()) return true;
      }
    }
    if (const std::string length = answer.Field("content-length"); !length.empty()) {
      std::uint64_t size = 0;
      if (!ParseSize(length, 10, size)) {
        error = "bad Content-Length";
        return false;
      }
      if (!ReadCounted(fd, buffered, size, keep_body, answer)) {
        error = "connection closed inside the body";
        return false;
      }
      return true;
    }
    // Framed by the end of the connection.
    answer.closes = true;
    do {
      if (keep_body && answer.body.size() + buffered.size() > kMaxKeptBody) {
        error = "body too large";
        return false;
      }
      TakeBody(buffered, buffered.size(), keep_body, answer);
    } while (ReadMore(fd, buffered));
    return true;
  }
}

bool HttpClient::Exchange(const std::string& request, bool keep_body, HttpAnswer& answer, std::string& error) {
  const bool head_request = request.starts_with("HEAD ");
  for (int attempt = 0; attempt < 2; ++attempt) {
    const bool fresh = fd_ < 0;
    if (fresh) {
      fd_ = ConnectLoopback(port_);
      if (fd_ < 0) {
        error = "cannot connect to port " + std::to_string(port_);
        return false;
      }
      ++connects_;
      buffered_.clear();
    }
    if (SendAll(fd_, request) && ReadHttpAnswer(fd_, buffered_, head_request, keep_body, answer, error)) {
      if (answer.closes) Close();
      return true;
    }
    Close();
    // A kept connection the server had just closed: once more on a new one.
    if (fresh) return false;
  }
  return false;
}

void HttpClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

// ---- gzip and /proc ---------------------------------------------------------

std::string Gzip(std::string_view data) {
  z_stream z{};
  // 31: a gzip wrapper; memory level 8 and the default strategy, as gzip -9.
  if (deflateInit2(&z, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflateInit2");
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
  return out;
}

bool Gunzip(std::string_view data, std::string& out) {
  z_stream z{};
  if (inflateInit2(&z, 47) != Z_OK) return false;  // 47: gzip or zlib, detected
  out.clear();
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  int rc = Z_OK;
  char chunk[65536];
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(chunk);
    z.avail_out = sizeof chunk;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(chunk, sizeof chunk - z.avail_out);
    if (rc == Z_BUF_ERROR && z.avail_in == 0) break;  // truncated
    if (out.size() > kMaxKeptBody) break;
  }
  inflateEnd(&z);
  return rc == Z_STREAM_END;
}

long ResidentKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::atol(line.c_str() + 6);
  }
  return 0;
}

double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // The name in parentheses may hold blanks; fields 14 and 15 follow it.
  const std::size_t paren = text.rfind(')');
  if (paren == std::string::npos) return 0;
  std::istringstream fields(text.substr(paren + 1));
  std::string field;
  unsigned long long user = 0, system = 0;
  for (int n = 3; n <= 15 && fields >> field; ++n) {
    if (n == 14) user = std::strtoull(field.c_str(), nullptr, 10);
    if (n == 15) system = std::strtoull(field.c_str(), nullptr, 10);
  }
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace korvan::bench
