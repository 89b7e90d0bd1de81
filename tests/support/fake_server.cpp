#include "tests/support/fake_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "wire/frame_reader.h"
#include "wire/frame_writer.h"
#include "wire/word_compress.h"

namespace korvan::test {

FakeTunnelConnection::FakeTunnelConnection(int fd, WordListPtr words) : fd_(fd), words_(std::move(words)) {
  const int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  reader_ = std::thread([this] { ReadLoop(); });
}

FakeTunnelConnection::~FakeTunnelConnection() {
  ::shutdown(fd_, SHUT_RDWR);
  if (reader_.joinable()) reader_.join();
  ::close(fd_);
}

void FakeTunnelConnection::ReadLoop() {
  std::uint8_t buf[65536];
  for (;;) {
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    MutexLock lock(mutex_);
    if (n <= 0) {
      peer_closed_ = true;
      changed_.NotifyAll();
      return;
    }
    received_.insert(received_.end(), buf, buf + n);
    read_sizes_.push_back(static_cast<std::size_t>(n));
    changed_.NotifyAll();
  }
}

Bytes FakeTunnelConnection::Received() const {
  MutexLock lock(mutex_);
  return received_;
}

std::vector<std::size_t> FakeTunnelConnection::ReadSizes() const {
  MutexLock lock(mutex_);
  return read_sizes_;
}

bool FakeTunnelConnection::WaitForReceived(std::size_t count, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  MutexLock lock(mutex_);
  while (received_.size() < count) {
    if (!changed_.WaitUntil(mutex_, deadline)) return received_.size() >= count;
  }
  return true;
}

std::optional<OpeningFields> FakeTunnelConnection::Opening() const { return ParseOpening(Received()); }

bool FakeTunnelConnection::AccountInfoRequested() const {
  const Bytes bytes = Received();
  return bytes.size() >= kOpeningSize + kAccountInfoRequest.size() &&
         std::equal(kAccountInfoRequest.begin(), kAccountInfoRequest.end(), bytes.begin() + kOpeningSize);
}

std::vector<ReceivedFrame> FakeTunnelConnection::Frames() const {
  const Bytes bytes = Received();
  std::vector<ReceivedFrame> frames;
  if (bytes.size() < kOpeningSize) return frames;
  std::size_t pos = kOpeningSize;
  if (AccountInfoRequested()) pos += kAccountInfoRequest.size();
  FrameView view;
  while (PeekFrame(std::span<const std::uint8_t>(bytes.data() + pos, bytes.size() - pos), view)) {
    ReceivedFrame f;
    f.flags = view.flags;
    f.escape = view.escape;
    f.payload.assign(bytes.begin() + static_cast<long>(pos + view.payload_offset),
                     bytes.begin() + static_cast<long>(pos + view.payload_offset + view.payload_length));
    Bytes source = f.payload;
    source.resize(std::max<std::size_t>(source.size(), 1));
    f.unpacked.resize(kMaxUnpackedBlock);
    f.unpack_result = WordCompress::UnpackBlock(*words_, source.data(), f.escape, f.flags, view.payload_length,
                                                f.unpacked.data());
    f.unpacked.resize(f.unpack_result > 0 ? static_cast<std::size_t>(f.unpack_result) : 0);
    frames.push_back(std::move(f));
    pos += view.frame_length;
  }
  return frames;
}

bool FakeTunnelConnection::WaitForFrames(std::size_t count, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::size_t seen = 0;
    {
      MutexLock lock(mutex_);
      seen = received_.size();
    }
    // Frames() parses at least the bytes seen here, so waiting for more than
    // those cannot miss a read that lands in between.
    if (Frames().size() >= count) return true;
    MutexLock lock(mutex_);
    while (received_.size() == seen) {
      if (peer_closed_) return false;
      if (!changed_.WaitUntil(mutex_, deadline) && received_.size() == seen) return false;
    }
  }
}

Bytes FakeTunnelConnection::ReceivedData() const {
  Bytes data;
  for (const ReceivedFrame& f : Frames()) {
    if (!(f.flags & tfControl)) data.insert(data.end(), f.unpacked.begin(), f.unpacked.end());
  }
  return data;
}

void FakeTunnelConnection::Send(std::span<const std::uint8_t> bytes, const std::vector<std::size_t>& pieces,
                                std::chrono::milliseconds pause) {
  MutexLock lock(write_mutex_);
  std::size_t pos = 0;
  std::size_t piece = 0;
  while (pos < bytes.size()) {
    const std::size_t want = piece < pieces.size() ? pieces[piece] : bytes.size() - pos;
    std::size_t n = std::min(want, bytes.size() - pos);
    ++piece;
    while (n > 0) {
      const ssize_t w = ::send(fd_, bytes.data() + pos, n, MSG_NOSIGNAL);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return;  // the peer is gone; the test sees that through its own checks
      pos += static_cast<std::size_t>(w);
      n -= static_cast<std::size_t>(w);
    }
    if (pause.count() > 0 && pos < bytes.size()) std::this_thread::sleep_for(pause);
  }
}

void FakeTunnelConnection::SendData(std::span<const std::uint8_t> raw) { Send(PackFrame(*words_, raw)); }

void FakeTunnelConnection::SendControl(std::uint8_t kind, std::span<const std::uint8_t> rest, bool packed) {
  Bytes payload{kind};
  payload.insert(payload.end(), rest.begin(), rest.end());
  if (packed && !TravelsUnpacked(kind)) {
    Send(PackFrame(*words_, payload, tfDeflate | tfWords, true));
  } else {
    Send(MakeFrame(tfControl, payload));
  }
}

void FakeTunnelConnection::Close() { ::shutdown(fd_, SHUT_RDWR); }

bool FakeTunnelConnection::WaitForPeerClose(std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  MutexLock lock(mutex_);
  while (!peer_closed_) {
    if (!changed_.WaitUntil(mutex_, deadline)) return peer_closed_;
  }
  return true;
}

bool FakeTunnelConnection::PeerClosed() const {
  MutexLock lock(mutex_);
  return peer_closed_;
}

FakeCompressionServer::FakeCompressionServer(WordListPtr words) : words_(std::move(words)) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::system_error(errno, std::generic_category(), "socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listen_fd_, 64) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || ::pipe(wake_pipe_) != 0) {
    const int err = errno;
    ::close(listen_fd_);
    throw std::system_error(err, std::generic_category(), "fake server listen");
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

FakeCompressionServer::~FakeCompressionServer() {
  const char stop = 1;
  [[maybe_unused]] const ssize_t w = ::write(wake_pipe_[1], &stop, 1);
  if (acceptor_.joinable()) acceptor_.join();
  ::close(listen_fd_);
  ::close(wake_pipe_[0]);
  ::close(wake_pipe_[1]);
  MutexLock lock(mutex_);
  pending_.clear();
  all_.clear();
}

void FakeCompressionServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    auto conn = std::make_shared<FakeTunnelConnection>(fd, words_);
    MutexLock lock(mutex_);
    pending_.push_back(conn);
    all_.push_back(conn);
    accepted_cv_.NotifyAll();
  }
}

std::shared_ptr<FakeTunnelConnection> FakeCompressionServer::NextConnection(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  MutexLock lock(mutex_);
  while (pending_.empty()) {
    if (!accepted_cv_.WaitUntil(mutex_, deadline) && pending_.empty()) return nullptr;
  }
  auto conn = pending_.front();
  pending_.pop_front();
  return conn;
}

std::size_t FakeCompressionServer::AcceptedCount() const {
  MutexLock lock(mutex_);
  return all_.size();
}

}  // namespace korvan::test
