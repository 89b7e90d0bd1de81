#include "tests/soak/soak_origin.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>

namespace korvan::soak {
namespace {

std::uint64_t SplitMix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// A blocked send or receive must not keep a connection thread forever when
// the proxy in front has lost the other side.
void SetTimeouts(int fd, int seconds) {
  timeval tv{seconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool SendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::size_t Number(std::string_view text) {
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) throw std::invalid_argument("not a number");
  return value;
}

// "size=N&seed=S&..." into a map; a malformed pair throws.
std::map<std::string, std::size_t> Query(std::string_view query) {
  std::map<std::string, std::size_t> values;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const std::size_t eq = pair.find('=');
    if (eq == std::string_view::npos) throw std::invalid_argument("no value");
    values[std::string(pair.substr(0, eq))] = Number(pair.substr(eq + 1));
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
  }
  return values;
}

}  // namespace

void PatternBlock(std::uint32_t seed, std::uint64_t block, std::array<char, kPatternBlock>& out) {
  std::uint64_t state = (static_cast<std::uint64_t>(seed) << 32) ^ (block * 0x2545F4914F6CDD1Dull);
  if (SplitMix(state) % 3 != 0) {
    // Two blocks in three are text, so that the packer has work.
    std::size_t at = 0;
    for (std::uint64_t line = 0; at < out.size(); ++line) {
      char text[96];
      const int n = std::snprintf(text, sizeof text, "object %u block %llu line %llu: korvan soak text, packed well\n",
                                  seed, static_cast<unsigned long long>(block), static_cast<unsigned long long>(line));
      const std::size_t take = std::min(out.size() - at, static_cast<std::size_t>(n));
      std::memcpy(out.data() + at, text, take);
      at += take;
    }
    return;
  }
  for (std::size_t at = 0; at < out.size(); at += 8) {
    const std::uint64_t word = SplitMix(state);
    std::memcpy(out.data() + at, &word, 8);
  }
}

void PatternBytes(std::uint32_t seed, std::uint64_t offset, char* out, std::size_t size) {
  std::array<char, kPatternBlock> block;
  while (size > 0) {
    PatternBlock(seed, offset / kPatternBlock, block);
    const std::size_t in_block = offset % kPatternBlock;
    const std::size_t take = std::min(size, kPatternBlock - in_block);
    std::memcpy(out, block.data() + in_block, take);
    out += take;
    offset += take;
    size -= take;
  }
}

bool PatternCheck::Check(std::uint64_t offset, const char* data, std::size_t size) {
  while (size > 0) {
    const std::uint64_t block = offset / kPatternBlock;
    if (block != block_) {
      PatternBlock(seed_, block, expected_);
      block_ = block;
    }
    const std::size_t in_block = offset % kPatternBlock;
    const std::size_t take = std::min(size, kPatternBlock - in_block);
    if (std::memcmp(data, expected_.data() + in_block, take) != 0) return false;
    data += take;
    offset += take;
    size -= take;
  }
  return true;
}

std::string ObjectPath(const ObjectRequest& object) {
  std::string path = "/obj?size=" + std::to_string(object.size) + "&seed=" + std::to_string(object.seed);
  if (object.reset_at != SIZE_MAX) path += "&reset=" + std::to_string(object.reset_at);
  if (object.stall_at != SIZE_MAX) path += "&stall=" + std::to_string(object.stall_at);
  return path;
}

ThreadedServer::ThreadedServer(Handler handler) : handler_(std::move(handler)) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  // A deep backlog: the soak opens hundreds of connections at once.
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 4096) != 0 || ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::pipe2(wake_, O_CLOEXEC) != 0) {
    throw std::runtime_error("cannot listen on loopback");
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

ThreadedServer::~ThreadedServer() {
  stopping_ = true;
  const char stop = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_[1], &stop, 1);
  acceptor_.join();
  MutexLock lock(mutex_);
  for (const int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
  while (running_ > 0) ended_.Wait(mutex_);
  ::close(listen_fd_);
  ::close(wake_[0]);
  ::close(wake_[1]);
}

void ThreadedServer::Pause(int ms) const {
  for (int waited = 0; waited < ms && !stopping_; waited += 50) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(50, ms - waited)));
  }
}

void ThreadedServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) return;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++accepted_;
    MutexLock lock(mutex_);
    open_fds_.push_back(fd);
    ++running_;
    std::thread([this, fd] {
      handler_(fd);
      MutexLock inner(mutex_);
      std::erase(open_fds_, fd);
      ::close(fd);
      --running_;
      ended_.NotifyAll();  // under the lock: the destructor cannot finish before this returns
    }).detach();
  }
}

PatternOrigin::PatternOrigin() : server_([this](int fd) { Serve(fd); }) {}

void PatternOrigin::Serve(int fd) {
  SetTimeouts(fd, 60);
  std::string request;
  char chunk[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0 || request.size() > 65536) return;
    request.append(chunk, static_cast<std::size_t>(n));
  }
  ObjectRequest object;
  bool found = false;
  const std::string_view line = std::string_view(request).substr(0, request.find("\r\n"));
  if (line.starts_with("GET /obj?")) {
    const std::size_t end = line.find(' ', 9);
    try {
      const auto query = Query(line.substr(9, end == std::string_view::npos ? std::string_view::npos : end - 9));
      object.size = query.at("size");
      object.seed = static_cast<std::uint32_t>(query.at("seed"));
      if (query.contains("reset")) object.reset_at = query.at("reset");
      if (query.contains("stall")) object.stall_at = query.at("stall");
      found = true;
    } catch (const std::exception&) {
    }
  }
  if (!found) {
    const std::string answer = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nConnection: close\r\n\r\nnot here\n";
    SendAll(fd, answer.data(), answer.size());
    return;
  }
  const std::string header = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                             std::to_string(object.size) + "\r\nConnection: close\r\n\r\n";
  if (!SendAll(fd, header.data(), header.size())) return;
  char piece[16384];
  for (std::size_t sent = 0; sent < object.size;) {
    if (sent >= object.reset_at) {
      // Linger 0: the close below sends RST instead of FIN.
      linger hard{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      ++resets;
      return;
    }
    std::size_t take = std::min(sizeof piece, object.size - sent);
    if (sent < object.stall_at) take = std::min(take, object.stall_at - sent);
    if (sent < object.reset_at) take = std::min(take, object.reset_at - sent);
    PatternBytes(object.seed, sent, piece, take);
    if (!SendAll(fd, piece, take)) return;
    sent += take;
    if (sent == object.stall_at) {
      ++stalls;
      server_.Pause(kStallMs);
    }
  }
  ::shutdown(fd, SHUT_WR);
  // Wait for the proxy to close its side, so that the FIN is not raced by an RST for unread bytes.
  while (::recv(fd, chunk, sizeof chunk, 0) > 0) {
  }
}

EchoOrigin::EchoOrigin()
    : server_([](int fd) {
        SetTimeouts(fd, 60);
        char chunk[16384];
        for (;;) {
          const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
          if (n <= 0) break;
          if (!SendAll(fd, chunk, static_cast<std::size_t>(n))) return;
        }
        ::shutdown(fd, SHUT_WR);
      }) {}

}  // namespace korvan::soak
