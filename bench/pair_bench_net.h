// Loopback plumbing for the service benchmark: a thread-per-connection
// listener, a relay that counts the bytes crossing it, a keep-alive HTTP/1.1
// client that reads answers framed by length, by chunks or by the close, and
// gzip helpers. Blocking sockets with time-outs throughout, so that a peer
// that stops answering ends a measure with an error instead of a hang.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/bench_sockets.h"

namespace korvan::bench {

using Listener = LoopbackServer;

// Forwards every connection it accepts to 127.0.0.1:target and counts the
// payload bytes in each direction (TCP/IP headers are not counted). Bytes
// are counted before they are passed on, so once an answer has arrived at
// the far end its bytes are in the count.
class CountingRelay {
 public:
  explicit CountingRelay(std::uint16_t target);
  std::uint16_t port() const { return listener_.port(); }
  // Bytes from the connecting side towards the target, and back.
  std::uint64_t up() const { return up_.load(); }
  std::uint64_t down() const { return down_.load(); }
  std::uint64_t total() const { return up() + down(); }
  int connections() const { return connections_.load(); }

 private:
  void Pump(int client);

  std::uint16_t target_;
  std::atomic<std::uint64_t> up_{0}, down_{0};
  std::atomic<int> connections_{0};
  Listener listener_;  // last: its threads use the members above
};

struct HttpAnswer {
  int status = 0;
  std::map<std::string, std::string> fields;  // names in lower case, the last of each
  std::string body;                           // as sent (still encoded)
  std::uint64_t body_bytes = 0;               // counted even when not kept
  bool closes = false;                        // the server ends the connection after it
  std::string Field(const std::string& name) const {
    const auto it = fields.find(name);
    return it == fields.end() ? std::string() : it->second;
  }
};

// Reads one HTTP/1.x answer from `fd`, `buffered` holding bytes already read
// (and keeping those that follow the answer). Bodies framed by
// Content-Length, chunked transfer coding or the end of the connection;
// interim 1xx answers are skipped. `keep_body` false counts the body only.
// False with `error` set on a malformed answer or a connection that ends
// early; every size is bounded.
bool ReadHttpAnswer(int fd, std::string& buffered, bool head_request, bool keep_body, HttpAnswer& answer,
                    std::string& error);

// One kept-alive connection to 127.0.0.1:port, opened again when the server
// closed it after an answer.
class HttpClient {
 public:
  explicit HttpClient(std::uint16_t port) : port_(port) {}
  ~HttpClient() { Close(); }
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Sends `request` (a whole request head) and reads the answer.
  bool Exchange(const std::string& request, bool keep_body, HttpAnswer& answer, std::string& error);
  void Close();
  int connects() const { return connects_; }

 private:
  std::uint16_t port_;
  int fd_ = -1;
  int connects_ = 0;
  std::string buffered_;
};

// gzip -9 of `data` (a gzip member, as Content-Encoding: gzip sends it).
std::string Gzip(std::string_view data);
// The decoded bytes of a gzip or zlib stream; false when it is not one.
bool Gunzip(std::string_view data, std::string& out);

// VmRSS of a process in KiB, 0 when it cannot be read.
long ResidentKib(pid_t pid);
// User + system time of a process so far, in seconds; 0 when unknown.
double CpuSeconds(pid_t pid);

}  // namespace korvan::bench
