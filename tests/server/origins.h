// Servers the tests reach through korvan-server, all on 127.0.0.1 with
// ephemeral ports: an HTTP origin, a TCP echo server and an SMTP sink.
//
// Thread rule: each server serves every connection on a thread of its own;
// the public methods may be called from any thread. In each class `mutex_`
// guards what connection threads record (requests, messages, commands) and,
// in LoopbackServer, its open connections and threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"

namespace korvan::server::test {

// Accepts connections and runs `handler` on a thread of its own for each.
// Stopping shuts every open connection down and joins all threads.
class LoopbackServer {
 public:
  using Handler = std::function<void(int fd)>;
  // `send_buffer` > 0 sets SO_SNDBUF of accepted connections.
  explicit LoopbackServer(Handler handler, int send_buffer = 0);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::uint16_t port() const { return port_; }
  std::size_t accepted() const { return accepted_; }

 private:
  void AcceptLoop() KORVAN_EXCLUDES(mutex_);

  Handler handler_;
  int send_buffer_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::atomic<std::size_t> accepted_{0};
  Mutex mutex_;
  std::vector<int> open_fds_ KORVAN_GUARDED_BY(mutex_);
  std::vector<std::thread> threads_ KORVAN_GUARDED_BY(mutex_);
  std::thread acceptor_;
};

// A port on 127.0.0.1 where nothing listens.
std::uint16_t ClosedPort();

bool SendAllTo(int fd, const void* data, std::size_t size);
// Deterministic bytes that deflate cannot shrink.
std::string RandomBytes(std::size_t size, std::uint32_t seed);
std::string SampleHtml();
// The body of /big/N: pieces of fresh random bytes, none repeating.
inline constexpr std::size_t kBigPiece = 16 * 1024;
std::string BigPiece(std::size_t index);
std::string BigBody(std::size_t size);

struct RecordedRequest {
  std::string method;
  std::string target;
  int version = 11;
  std::map<std::string, std::string> fields;  // names in lower case
  std::string body;
};

// GET /page.html, /blob.bin (300000 random bytes), /chunked (five chunks
// sent one by one), /old (HTTP/1.0, ended by closing), /big/N (N random
// bytes written in pieces and counted in big_written), HEAD of any of
// these, POST /echo (the body back). Keeps connections alive as asked.
class HttpOrigin {
 public:
  HttpOrigin();
  std::uint16_t port() const { return server_.port(); }
  std::size_t connections() const { return server_.accepted(); }
  std::vector<RecordedRequest> requests() const KORVAN_EXCLUDES(mutex_);
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port()) + path; }

  std::atomic<std::size_t> big_written{0};
  static const char kChunks[5][40];

 private:
  void Serve(int fd) KORVAN_EXCLUDES(mutex_);
  mutable Mutex mutex_;
  std::vector<RecordedRequest> requests_ KORVAN_GUARDED_BY(mutex_);
  LoopbackServer server_;
};

// One fixed answer of StaticOrigin: the body goes with a Content-Length,
// or chunked in pieces of 1000 bytes.
struct StaticAnswer {
  std::string content_type;
  std::string body;
  bool chunked = false;
  std::string extra_fields;  // whole lines, each ending in \r\n
};

// Serves fixed answers by path (404 for the rest), keeping connections
// alive as asked, and records the requests.
class StaticOrigin {
 public:
  explicit StaticOrigin(std::map<std::string, StaticAnswer> answers);
  std::uint16_t port() const { return server_.port(); }
  std::size_t connections() const { return server_.accepted(); }
  std::vector<RecordedRequest> requests() const KORVAN_EXCLUDES(mutex_);
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port()) + path; }

 private:
  void Serve(int fd) KORVAN_EXCLUDES(mutex_);
  const std::map<std::string, StaticAnswer> answers_;
  mutable Mutex mutex_;
  std::vector<RecordedRequest> requests_ KORVAN_GUARDED_BY(mutex_);
  LoopbackServer server_;
};

// Sends back whatever arrives.
class EchoServer {
 public:
  EchoServer();
  std::uint16_t port() const { return server_.port(); }

 private:
  LoopbackServer server_;
};

// A minimal SMTP server that keeps the messages it is given.
class SmtpSink {
 public:
  SmtpSink();
  std::uint16_t port() const { return server_.port(); }
  std::vector<std::string> messages() const KORVAN_EXCLUDES(mutex_);
  std::vector<std::string> commands() const KORVAN_EXCLUDES(mutex_);

 private:
  void Serve(int fd) KORVAN_EXCLUDES(mutex_);
  mutable Mutex mutex_;
  std::vector<std::string> messages_ KORVAN_GUARDED_BY(mutex_);
  std::vector<std::string> commands_ KORVAN_GUARDED_BY(mutex_);
  LoopbackServer server_;
};

}  // namespace korvan::server::test
