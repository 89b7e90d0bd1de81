// A scripted fake compression server on loopback for the client's tests.
//
// It listens on 127.0.0.1 with an ephemeral port, accepts any number of
// tunnel connections, records every byte each one receives, decodes the
// opening message and the frames behind it, and sends whatever bytes or
// frames a test chooses, split across writes as the test wishes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

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
  Bytes Received() const;
  bool WaitForReceived(std::size_t count, std::chrono::milliseconds timeout = 5s) const;
  // Sizes of the reads that delivered the bytes (shows what came in one write).
  std::vector<std::size_t> ReadSizes() const;

  // The opening message, once its 15 bytes are there. The account-info
  // request, when it follows at once, is reported here and not as a frame.
  std::optional<OpeningFields> Opening() const;
  bool AccountInfoRequested() const;
  // Frames after the opening (for the account query there are none).
  std::vector<ReceivedFrame> Frames() const;
  bool WaitForFrames(std::size_t count, std::chrono::milliseconds timeout = 5s) const;
  // Unpacked payloads of all data frames, joined.
  Bytes ReceivedData() const;

  // Writes `bytes`, cut at the given sizes (the rest in one last write), with
  // `pause` between writes so that the peer sees separate reads.
  void Send(std::span<const std::uint8_t> bytes, const std::vector<std::size_t>& pieces = {},
            std::chrono::milliseconds pause = 0ms);
  // A data frame packed with both stages.
  void SendData(std::span<const std::uint8_t> raw);
  // A control frame: the kind byte, then `rest`; packed unless the kind must
  // travel unpacked (banners, count-only) or `packed` is false.
  void SendControl(std::uint8_t kind, std::span<const std::uint8_t> rest = {}, bool packed = true);

  // Closes the connection (the peer sees the end of the stream).
  void Close();
  // True once the peer has closed its side (read returned 0 or failed).
  bool WaitForPeerClose(std::chrono::milliseconds timeout = 5s) const;
  bool PeerClosed() const;

 private:
  void ReadLoop();

  int fd_;
  WordListPtr words_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Bytes received_;
  std::vector<std::size_t> read_sizes_;
  bool peer_closed_ = false;
  std::mutex write_mutex_;
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
  std::shared_ptr<FakeTunnelConnection> NextConnection(std::chrono::milliseconds timeout = 5s);
  std::size_t AcceptedCount() const;

 private:
  void AcceptLoop();

  WordListPtr words_;
  int listen_fd_ = -1;
  int wake_pipe_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable accepted_cv_;
  std::deque<std::shared_ptr<FakeTunnelConnection>> pending_;
  std::vector<std::shared_ptr<FakeTunnelConnection>> all_;
  std::thread acceptor_;
};

}  // namespace korvan::test
