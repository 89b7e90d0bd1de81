// A scripted fake compression server on loopback for the client's tests.
//
// It listens on 127.0.0.1 with an ephemeral port, accepts any number of
// tunnel connections, records every byte each one receives, decodes the
// opening message and the frames behind it, and sends whatever bytes or
// frames a test chooses, split across writes as the test wishes.
//
// Thread rule: every connection has a reader thread, the server an
// accepting thread; the public methods may be called from any thread. In a
// connection `mutex_` guards what the reader records (bytes, read sizes, the
// peer's close), announced through `changed_`, and `write_mutex_` keeps one
// Send whole; in the server `mutex_` guards the accepted connections,
// announced through `accepted_cv_`.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "wire/frame_format.h"
#include "wire/opening.h"
#include "wire/word_list.h"

namespace korvan::test {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// One frame received from the client, with its payload unpacked.
struct ReceivedFrame {
  std::uint8_t flags = 0;
  std::uint8_t escape = kDefaultEscape;
  Bytes payload;   // as received
  Bytes unpacked;  // empty when unpacking failed
  int unpack_result = 0;
};

class FakeTunnelConnection {
 public:
  FakeTunnelConnection(int fd, WordListPtr words);
  ~FakeTunnelConnection();
  FakeTunnelConnection(const FakeTunnelConnection&) = delete;
  FakeTunnelConnection& operator=(const FakeTunnelConnection&) = delete;

  // Every byte received so far.
  Bytes Received() const KORVAN_EXCLUDES(mutex_);
  bool WaitForReceived(std::size_t count, std::chrono::milliseconds timeout = 5s) const KORVAN_EXCLUDES(mutex_);
  // Sizes of the reads that delivered the bytes (shows what came in one write).
  std::vector<std::size_t> ReadSizes() const KORVAN_EXCLUDES(mutex_);

  // The opening message, once its 15 bytes are there. The account-info
  // request, when it follows at once, is reported here and not as a frame.
  std::optional<OpeningFields> Opening() const KORVAN_EXCLUDES(mutex_);
  bool AccountInfoRequested() const KORVAN_EXCLUDES(mutex_);
  // Frames after the opening (for the account query there are none).
  std::vector<ReceivedFrame> Frames() const KORVAN_EXCLUDES(mutex_);
  bool WaitForFrames(std::size_t count, std::chrono::milliseconds timeout = 5s) const KORVAN_EXCLUDES(mutex_);
  // Unpacked payloads of all data frames, joined.
  Bytes ReceivedData() const KORVAN_EXCLUDES(mutex_);

  // Writes `bytes`, cut at the given sizes (the rest in one last write), with
  // `pause` between writes so that the peer sees separate reads.
  void Send(std::span<const std::uint8_t> bytes, const std::vector<std::size_t>& pieces = {},
            std::chrono::milliseconds pause = 0ms) KORVAN_EXCLUDES(write_mutex_);
  // A data frame packed with both stages.
  void SendData(std::span<const std::uint8_t> raw) KORVAN_EXCLUDES(write_mutex_);
  // A control frame: the kind byte, then `rest`; packed unless the kind must
  // travel unpacked (banners, count-only) or `packed` is false.
  void SendControl(std::uint8_t kind, std::span<const std::uint8_t> rest = {}, bool packed = true)
      KORVAN_EXCLUDES(write_mutex_);

  // Closes the connection (the peer sees the end of the stream).
  void Close();
  // True once the peer has closed its side (read returned 0 or failed).
  bool WaitForPeerClose(std::chrono::milliseconds timeout = 5s) const KORVAN_EXCLUDES(mutex_);
  bool PeerClosed() const KORVAN_EXCLUDES(mutex_);

 private:
  void ReadLoop() KORVAN_EXCLUDES(mutex_);

  int fd_;
  WordListPtr words_;
  mutable Mutex mutex_;
  mutable CondVar changed_;
  Bytes received_ KORVAN_GUARDED_BY(mutex_);
  std::vector<std::size_t> read_sizes_ KORVAN_GUARDED_BY(mutex_);
  bool peer_closed_ KORVAN_GUARDED_BY(mutex_) = false;
  // Guards no data: it keeps the writes of one Send together.
  Mutex write_mutex_;
  std::thread reader_;
};

class FakeCompressionServer {
 public:
  explicit FakeCompressionServer(WordListPtr words);
  ~FakeCompressionServer();
  FakeCompressionServer(const FakeCompressionServer&) = delete;
  FakeCompressionServer& operator=(const FakeCompressionServer&) = delete;

  std::uint16_t port() const { return port_; }
  // The next accepted connection, in accept order; null after the time-out.
  std::shared_ptr<FakeTunnelConnection> NextConnection(std::chrono::milliseconds timeout = 5s)
      KORVAN_EXCLUDES(mutex_);
  std::size_t AcceptedCount() const KORVAN_EXCLUDES(mutex_);

 private:
  void AcceptLoop() KORVAN_EXCLUDES(mutex_);

  WordListPtr words_;
  int listen_fd_ = -1;
  int wake_pipe_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  mutable Mutex mutex_;
  CondVar accepted_cv_;
  std::deque<std::shared_ptr<FakeTunnelConnection>> pending_ KORVAN_GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<FakeTunnelConnection>> all_ KORVAN_GUARDED_BY(mutex_);
  std::thread acceptor_;
};

}  // namespace korvan::test
