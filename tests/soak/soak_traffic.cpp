#include "tests/soak/soak_traffic.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/soak/soak_origin.h"

namespace korvan::soak {

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kGet: return "GET";
    case Kind::kConnect: return "CONNECT";
    case Kind::kSocks4: return "SOCKS4";
    case Kind::kMapping: return "mapping";
  }
  return "?";
}

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::kNone: return "none";
    case Fault::kSlowReader: return "slow reader";
    case Fault::kHalfClose: return "half-close";
    case Fault::kClientReset: return "client reset";
    case Fault::kVanish: return "vanish";
    case Fault::kOriginReset: return "origin reset";
    case Fault::kOriginStall: return "origin stall";
  }
  return "?";
}

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kComplete: return "complete";
    case Outcome::kErrorPage: return "error page";
    case Outcome::kClosed: return "closed";
    case Outcome::kRefused: return "refused";
    case Outcome::kOwnClose: return "own close";
    case Outcome::kCorrupt: return "CORRUPT";
    case Outcome::kHung: return "HUNG";
    case Outcome::kNoConnect: return "NO CONNECT";
  }
  return "?";
}

namespace {

using namespace std::chrono_literals;

enum class Io { kOk, kEof, kTimeout };

// A non-blocking loopback connection whose every wait is bounded by the
// quiet limit since the last byte and by the transfer's own deadline.
class Connection {
 public:
  explicit Connection(Clock::time_point deadline) : deadline_(deadline), progress_(Clock::now()) {}
  ~Connection() { Close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Io Open(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) return Io::kEof;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return Io::kOk;
    if (errno != EINPROGRESS) return Io::kEof;
    const Io waited = Wait(POLLOUT);
    if (waited != Io::kOk) return waited;
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size);
    return error == 0 ? Io::kOk : Io::kEof;
  }

  int fd() const { return fd_; }
  void Progress() { progress_ = Clock::now(); }

  // Waits for `events` (or an error or hang-up); kTimeout when the quiet
  // limit or the deadline passes first. `wake` caps the wait without
  // counting as a time-out.
  Io Wait(short events, Clock::time_point wake = Clock::time_point::max()) {
    if (events == 0) {
      // A pause: poll would return at once on a hung-up socket.
      const auto limit = std::min(progress_ + kQuietLimit, deadline_);
      std::this_thread::sleep_until(std::min(limit, wake));
      return Clock::now() >= limit ? Io::kTimeout : Io::kOk;
    }
    for (;;) {
      const auto now = Clock::now();
      const auto limit = std::min(progress_ + kQuietLimit, deadline_);
      if (now >= limit) return Io::kTimeout;
      if (now >= wake) return Io::kOk;
      const auto until = std::min(limit, wake);
      const int ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(until - now).count());
      pollfd p{fd_, events, 0};
      const int ready = ::poll(&p, 1, ms);
      if (ready > 0) return Io::kOk;
      if (ready < 0 && errno != EINTR) return Io::kEof;
    }
  }

  Io SendAll(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(n));
        Progress();
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) return Io::kEof;
      const Io waited = Wait(POLLOUT);
      if (waited != Io::kOk) return waited;
    }
    return Io::kOk;
  }

  // Up to `size` bytes into `out` (at least one); kEof at the end or an
  // error (RST included).
  Io Receive(char* out, std::size_t size, std::size_t& got) {
    for (;;) {
      const ssize_t n = ::recv(fd_, out, size, 0);
      if (n > 0) {
        got = static_cast<std::size_t>(n);
        Progress();
        return Io::kOk;
      }
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) return Io::kEof;
      const Io waited = Wait(POLLIN);
      if (waited != Io::kOk) return waited;
    }
  }

  // Reads into `buffer` until it holds `end`; kEof when the peer ends first.
  Io ReadThrough(std::string& buffer, std::string_view end, std::size_t limit) {
    char chunk[4096];
    while (buffer.find(end) == std::string::npos) {
      if (buffer.size() > limit) return Io::kEof;
      std::size_t got = 0;
      const Io io = Receive(chunk, sizeof chunk, got);
      if (io != Io::kOk) return io;
      buffer.append(chunk, got);
    }
    return Io::kOk;
  }

  void Reset() {
    if (fd_ < 0) return;
    linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    Close();
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  Clock::time_point deadline_;
  Clock::time_point progress_;
};

Outcome Ended(Io io) { return io == Io::kTimeout ? Outcome::kHung : Outcome::kClosed; }

// Reads the slow reader's single bytes, one a second, while `check` takes
// them; returns when the slow time is over or the connection ended.
Io ReadSlowly(Connection& c, const std::function<bool(const char*, std::size_t)>& check, bool& corrupt,
              std::size_t wanted) {
  const auto slow_end = Clock::now() + std::chrono::seconds(kSlowSeconds);
  std::size_t read = 0;
  for (auto next = Clock::now(); Clock::now() < slow_end && read < wanted; next += 1s) {
    const Io waited = c.Wait(0, next);  // a pause that still ends at the deadline
    if (waited != Io::kOk) return waited;
    char byte = 0;
    std::size_t got = 0;
    const Io io = c.Receive(&byte, 1, got);
    if (io != Io::kOk) return io;
    ++read;
    if (!check(&byte, 1)) {
      corrupt = true;
      return Io::kOk;
    }
  }
  return Io::kOk;
}

void Jitter(std::uint32_t seed) { std::this_thread::sleep_for(std::chrono::milliseconds(seed % 150)); }

// GET through the HTTP port; the body is checked as it arrives.
void RunGet(const Ports& ports, const TransferPlan& plan, Connection& c, TransferResult& r) {
  ObjectRequest object{plan.size, plan.seed};
  if (plan.fault == Fault::kOriginReset) object.reset_at = plan.size / 2;
  if (plan.fault == Fault::kOriginStall) object.stall_at = plan.size / 3;
  const std::string authority = "127.0.0.1:" + std::to_string(ports.origin);
  const std::string request = "GET http://" + authority + ObjectPath(object) + " HTTP/1.1\r\nHost: " + authority +
                              "\r\nUser-Agent: korvan-soak\r\nConnection: close\r\n\r\n";
  if (const Io io = c.SendAll(request); io != Io::kOk) {
    r.outcome = Ended(io);
    return;
  }
  if (plan.fault == Fault::kVanish) {
    Jitter(plan.seed);
    c.Close();
    r.outcome = Outcome::kOwnClose;
    return;
  }
  if (plan.fault == Fault::kHalfClose) ::shutdown(c.fd(), SHUT_WR);

  std::string head;
  if (const Io io = c.ReadThrough(head, "\r\n\r\n", 65536); io != Io::kOk) {
    r.outcome = head.empty() || io == Io::kTimeout ? Ended(io) : Outcome::kCorrupt;
    if (r.outcome == Outcome::kCorrupt) r.detail = "header cut off: " + head.substr(0, 80);
    return;
  }
  const std::size_t head_end = head.find("\r\n\r\n") + 4;
  std::string body = head.substr(head_end);
  head.resize(head_end);
  if (!head.starts_with("HTTP/1.") || head.size() < 12) {
    r.outcome = Outcome::kCorrupt;
    r.detail = "not an HTTP answer: " + head.substr(0, 80);
    return;
  }
  r.status = std::atoi(head.c_str() + 9);
  if (r.status != 200) {
    r.outcome = Outcome::kErrorPage;
    return;
  }
  std::string lower = head;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char ch) { return std::tolower(ch); });
  const std::size_t length_at = lower.find("\r\ncontent-length:");
  if (length_at == std::string::npos || std::strtoull(head.c_str() + length_at + 17, nullptr, 10) != plan.size) {
    r.outcome = Outcome::kCorrupt;
    r.detail = "wrong length in " + head.substr(0, 200);
    return;
  }

  PatternCheck check(plan.seed);
  bool corrupt = false;
  const auto take = [&](const char* data, std::size_t n) {
    n = std::min(n, plan.size - r.received);
    if (!check.Check(r.received, data, n)) return false;
    r.received += n;
    return true;
  };
  if (!take(body.data(), body.size())) corrupt = true;
  if (!corrupt && plan.fault == Fault::kSlowReader) {
    const Io io = ReadSlowly(c, take, corrupt, plan.size - r.received);
    if (io != Io::kOk && !corrupt) {
      r.outcome = Ended(io);
      return;
    }
  }
  std::vector<char> chunk(65536);
  while (!corrupt && r.received < plan.size) {
    if (plan.fault == Fault::kClientReset && r.received >= plan.size / 2) break;
    std::size_t got = 0;
    const Io io = c.Receive(chunk.data(), chunk.size(), got);
    if (io != Io::kOk) {
      r.outcome = Ended(io);
      return;
    }
    if (!take(chunk.data(), got)) corrupt = true;
  }
  if (corrupt) {
    r.outcome = Outcome::kCorrupt;
    r.detail = "body differs near byte " + std::to_string(r.received);
  } else if (plan.fault == Fault::kClientReset) {
    c.Reset();
    r.outcome = Outcome::kOwnClose;
  } else {
    r.outcome = Outcome::kComplete;
  }
}

// Pattern bytes out and the same bytes back, both ways at once, through an
// established tunnel; `early` holds echo bytes that came with its answer.
void Exchange(const TransferPlan& plan, Connection& c, const std::string& early, TransferResult& r) {
  PatternCheck check(plan.seed);
  std::size_t written = 0;
  const auto take = [&](const char* data, std::size_t n) {
    if (r.received + n > written || !check.Check(r.received, data, n)) return false;
    r.received += n;
    return true;
  };
  bool corrupt = !take(early.data(), early.size());
  bool half_closed = false;
  std::vector<char> out(65536), in(65536);
  auto slow_end = Clock::time_point::min();
  auto next_slow = Clock::time_point::min();
  while (!corrupt && r.received < plan.size) {
    const auto now = Clock::now();
    const bool slow = plan.fault == Fault::kSlowReader && written > 0 && (slow_end == Clock::time_point::min() || now < slow_end);
    if (slow && slow_end == Clock::time_point::min()) {
      slow_end = now + std::chrono::seconds(kSlowSeconds);
      next_slow = now;
    }
    const bool may_read = !slow || now >= next_slow;
    short events = written < plan.size ? POLLOUT : 0;
    if (may_read) events |= POLLIN;
    const Io waited = c.Wait(events, slow && !may_read ? next_slow : Clock::time_point::max());
    if (waited != Io::kOk) {
      r.outcome = Ended(waited);
      return;
    }
    if (written < plan.size) {
      const std::size_t n = std::min(out.size(), plan.size - written);
      PatternBytes(plan.seed, written, out.data(), n);
      const ssize_t sent = ::send(c.fd(), out.data(), n, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) {
        written += static_cast<std::size_t>(sent);
        c.Progress();
        if (plan.fault == Fault::kVanish) {
          c.Close();
          r.outcome = Outcome::kOwnClose;
          return;
        }
      } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
        r.outcome = Outcome::kClosed;
        return;
      }
    }
    if (written == plan.size && plan.fault == Fault::kHalfClose && !half_closed) {
      ::shutdown(c.fd(), SHUT_WR);
      half_closed = true;
    }
    if (may_read) {
      const ssize_t n = ::recv(c.fd(), in.data(), slow ? 1 : in.size(), MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        r.outcome = Outcome::kClosed;
        return;
      }
      if (n > 0) {
        c.Progress();
        if (!take(in.data(), static_cast<std::size_t>(n))) corrupt = true;
        if (slow) next_slow = Clock::now() + 1s;
      }
    }
    if (plan.fault == Fault::kClientReset && r.received >= plan.size / 2) {
      c.Reset();
      r.outcome = Outcome::kOwnClose;
      return;
    }
  }
  if (corrupt) {
    r.outcome = Outcome::kCorrupt;
    r.detail = "echo differs near byte " + std::to_string(r.received);
  } else {
    r.outcome = Outcome::kComplete;
  }
}

void RunConnect(const Ports& ports, const TransferPlan& plan, Connection& c, TransferResult& r) {
  const std::string authority = "127.0.0.1:" + std::to_string(ports.echo);
  if (const Io io = c.SendAll("CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n"); io != Io::kOk) {
    r.outcome = Ended(io);
    return;
  }
  std::string answer;
  if (const Io io = c.ReadThrough(answer, "\r\n\r\n", 65536); io != Io::kOk) {
    r.outcome = Ended(io);
    return;
  }
  const std::size_t end = answer.find("\r\n\r\n") + 4;
  if (!answer.starts_with("HTTP/1.")) {
    r.outcome = Outcome::kCorrupt;
    r.detail = "not an HTTP answer: " + answer.substr(0, 80);
    return;
  }
  r.status = std::atoi(answer.c_str() + 9);
  if (r.status != 200) {
    r.outcome = Outcome::kErrorPage;
    return;
  }
  Exchange(plan, c, answer.substr(end), r);
}

void RunSocks(const Ports& ports, const TransferPlan& plan, Connection& c, TransferResult& r) {
  const std::uint16_t port = htons(static_cast<std::uint16_t>(ports.echo));
  const std::uint32_t address = htonl(INADDR_LOOPBACK);
  std::string request("\x04\x01", 2);
  request.append(reinterpret_cast<const char*>(&port), 2);
  request.append(reinterpret_cast<const char*>(&address), 4);
  request.append("soak", 5);  // with its NUL
  if (const Io io = c.SendAll(request); io != Io::kOk) {
    r.outcome = Ended(io);
    return;
  }
  std::string answer;
  char chunk[4096];
  while (answer.size() < 8) {
    std::size_t got = 0;
    const Io io = c.Receive(chunk, sizeof chunk, got);
    if (io != Io::kOk) {
      r.outcome = Ended(io);
      return;
    }
    answer.append(chunk, got);
  }
  if (answer[0] != 0 || (answer[1] != '\x5A' && answer[1] != '\x5B')) {
    r.outcome = Outcome::kCorrupt;
    r.detail = "not a SOCKS 4 answer";
    return;
  }
  if (answer[1] == '\x5B') {
    r.outcome = Outcome::kRefused;
    return;
  }
  Exchange(plan, c, answer.substr(8), r);
}

}  // namespace

TransferResult RunTransfer(const Ports& ports, const TransferPlan& plan) {
  TransferResult r;
  r.start = Clock::now();
  Connection c(r.start + kTransferLimit);
  const int port = plan.kind == Kind::kGet || plan.kind == Kind::kConnect ? ports.http
                   : plan.kind == Kind::kSocks4                          ? ports.socks
                                                                         : ports.mapping;
  const Io opened = c.Open(port);
  if (opened != Io::kOk) {
    r.outcome = opened == Io::kTimeout ? Outcome::kHung : Outcome::kNoConnect;
  } else {
    switch (plan.kind) {
      case Kind::kGet: RunGet(ports, plan, c, r); break;
      case Kind::kConnect: RunConnect(ports, plan, c, r); break;
      case Kind::kSocks4: RunSocks(ports, plan, c, r); break;
      case Kind::kMapping: Exchange(plan, c, {}, r); break;
    }
  }
  r.end = Clock::now();
  if (r.outcome == Outcome::kHung && r.detail.empty()) {
    r.detail = "nothing for " + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(r.end - r.start).count()) +
               " s after " + std::to_string(r.received) + " bytes";
  }
  return r;
}

}  // namespace korvan::soak
