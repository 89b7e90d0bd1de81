// The far ends of the soak, on 127.0.0.1 with ephemeral ports: an HTTP
// origin whose bodies are deterministic from the URL (so the receiver can
// check every byte without keeping a copy) and that resets or stalls when
// the URL asks, and a TCP echo server.
//
// Thread rule: each server serves a connection on a detached thread of its
// own, so that a soak of hours does not pile up finished threads; `mutex_`
// guards the open connections and the count of running threads, and the
// destructor shuts the open connections down and waits for the count to
// reach zero.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"

namespace korvan::soak {

// Bodies come in blocks of this size, each either lines of text (which the
// tunnel packs well) or noise (which it cannot), chosen by the seed.
inline constexpr std::size_t kPatternBlock = 4096;
void PatternBlock(std::uint32_t seed, std::uint64_t block, std::array<char, kPatternBlock>& out);
// Bytes [offset, offset + out.size()) of the body with `seed`.
void PatternBytes(std::uint32_t seed, std::uint64_t offset, char* out, std::size_t size);

// Checks a body piece by piece against the pattern, keeping only the
// current block.
class PatternCheck {
 public:
  explicit PatternCheck(std::uint32_t seed) : seed_(seed) {}
  // False at the first byte that differs.
  bool Check(std::uint64_t offset, const char* data, std::size_t size);

 private:
  std::uint32_t seed_;
  std::uint64_t block_ = UINT64_MAX;
  std::array<char, kPatternBlock> expected_{};
};

// The origin's path for a body: its size and seed, and optionally where
// the origin resets the connection or pauses for `kStallMs`.
struct ObjectRequest {
  std::size_t size = 0;
  std::uint32_t seed = 0;
  std::size_t reset_at = SIZE_MAX;
  std::size_t stall_at = SIZE_MAX;
};
std::string ObjectPath(const ObjectRequest& object);
inline constexpr int kStallMs = 3000;

class ThreadedServer {
 public:
  using Handler = std::function<void(int fd)>;
  explicit ThreadedServer(Handler handler);
  ~ThreadedServer();
  ThreadedServer(const ThreadedServer&) = delete;
  ThreadedServer& operator=(const ThreadedServer&) = delete;

  std::uint16_t port() const { return port_; }
  std::size_t accepted() const { return accepted_; }
  bool stopping() const { return stopping_; }
  // Sleeps `ms`, or less when the server stops.
  void Pause(int ms) const;

 private:
  void AcceptLoop() KORVAN_EXCLUDES(mutex_);

  Handler handler_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::atomic<std::size_t> accepted_{0};
  std::atomic<bool> stopping_{false};
  Mutex mutex_;
  CondVar ended_;
  std::vector<int> open_fds_ KORVAN_GUARDED_BY(mutex_);
  std::size_t running_ KORVAN_GUARDED_BY(mutex_) = 0;
  std::thread acceptor_;
};

// GET /obj?size=N&seed=S[&reset=K][&stall=K]: N bytes of the pattern with
// seed S, a Content-Length and "Connection: close"; with reset, an RST after
// K bytes; with stall, a pause of kStallMs after K bytes. Anything else 404.
class PatternOrigin {
 public:
  PatternOrigin();
  std::uint16_t port() const { return server_.port(); }
  std::size_t connections() const { return server_.accepted(); }
  std::atomic<std::size_t> resets{0}, stalls{0};

 private:
  void Serve(int fd);
  ThreadedServer server_;
};

// Sends back whatever arrives; after the peer's end of data it ends its own.
class EchoOrigin {
 public:
  EchoOrigin();
  std::uint16_t port() const { return server_.port(); }
  std::size_t connections() const { return server_.accepted(); }

 private:
  ThreadedServer server_;
};

}  // namespace korvan::soak
