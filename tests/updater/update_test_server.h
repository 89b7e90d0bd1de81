// The update server of the tests: answers GET requests by path (the path
// of an absolute URL too, as the updater sends them to a proxy), with raw
// responses the test writes, and records every request head.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "tests/support/posix_sockets.h"

namespace korvan::test {

class UpdateTestServer {
 public:
  UpdateTestServer();
  // Ends every connection and waits for their threads.
  ~UpdateTestServer();
  UpdateTestServer(const UpdateTestServer&) = delete;
  UpdateTestServer& operator=(const UpdateTestServer&) = delete;
  std::uint16_t port() const { return listener_.port(); }
  std::string host() const { return "127.0.0.1:" + std::to_string(port()); }
  std::string url(const std::string& path) const { return "http://" + host() + path; }

  // The whole response for `path`; unknown paths get 404.
  void Answer(const std::string& path, std::string raw_response) KORVAN_EXCLUDES(mutex_);
  // 200 with `body`, with a Content-Length or ended by closing.
  void AnswerBody(const std::string& path, const std::string& body, bool with_length = true);
  // Sends the head and `sent` bytes of the body, then says nothing more
  // until the connection ends.
  void AnswerStalled(const std::string& path, const std::string& body, std::size_t sent) KORVAN_EXCLUDES(mutex_);

  // Sends the first `split` bytes of the response, waits a moment, then
  // the rest (a status line that arrives in pieces).
  void AnswerInPieces(const std::string& path, std::string raw_response, std::size_t split) KORVAN_EXCLUDES(mutex_);

  std::vector<std::string> request_heads() const KORVAN_EXCLUDES(mutex_);
  std::size_t requests_for(const std::string& path) const KORVAN_EXCLUDES(mutex_);

 private:
  struct Reply {
    std::string bytes;
    bool close_after = false;
    bool stall = false;
    std::size_t split = 0;
  };
  void AcceptLoop() KORVAN_EXCLUDES(mutex_);
  void Serve(PosixStreamSocket& socket) KORVAN_EXCLUDES(mutex_);

  mutable Mutex mutex_;
  std::map<std::string, Reply> replies_ KORVAN_GUARDED_BY(mutex_);
  std::vector<std::string> heads_ KORVAN_GUARDED_BY(mutex_);
  std::vector<std::string> paths_ KORVAN_GUARDED_BY(mutex_);
  std::vector<std::thread> threads_ KORVAN_GUARDED_BY(mutex_);
  LoopbackListener listener_;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
};

}  // namespace korvan::test
