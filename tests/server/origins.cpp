#include "tests/server/origins.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <functional>
#include <random>
#include <sstream>

namespace korvan::server::test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

namespace {

int ListenOnLoopback(std::uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(fd, 64);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

std::string ReadLine(int fd, std::string& buffered) {
  for (;;) {
    const auto end = buffered.find("\r\n");
    if (end != std::string::npos) {
      std::string line = buffered.substr(0, end);
      buffered.erase(0, end + 2);
      return line;
    }
    char chunk[1024];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return "\x04";  // the peer left
    buffered.append(chunk, static_cast<std::size_t>(n));
  }
}

}  // namespace

LoopbackServer::LoopbackServer(Handler handler, int send_buffer)
    : handler_(std::move(handler)), send_buffer_(send_buffer) {
  listen_fd_ = ListenOnLoopback(port_);
  if (::pipe(wake_) != 0) wake_[0] = wake_[1] = -1;
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
  const char stop = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_[1], &stop, 1);
  acceptor_.join();
  {
    MutexLock lock(mutex_);
    for (const int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
  }
  for (auto& t : threads_) t.join();
  ::close(listen_fd_);
  ::close(wake_[0]);
  ::close(wake_[1]);
}

void LoopbackServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) return;
    const int fd = ::accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) continue;
    if (send_buffer_ > 0) ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer_, sizeof send_buffer_);
    ++accepted_;
    MutexLock lock(mutex_);
    open_fds_.push_back(fd);
    threads_.emplace_back([this, fd] {
      handler_(fd);
      MutexLock inner(mutex_);
      std::erase(open_fds_, fd);
      ::close(fd);
    });
  }
}

std::uint16_t ClosedPort() {
  std::uint16_t port = 0;
  const int fd = ListenOnLoopback(port);
  ::close(fd);
  return port;
}

bool SendAllTo(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(random() & 0xFF);
  return out;
}

std::string BigPiece(std::size_t index) { return RandomBytes(kBigPiece, 1000 + static_cast<std::uint32_t>(index)); }

std::string BigBody(std::size_t size) {
  std::string body;
  for (std::size_t i = 0; body.size() < size; ++i) body += BigPiece(i);
  body.resize(size);
  return body;
}

std::string SampleHtml() {
  std::string page = "<html><head><title>korvan test page</title></head><body>\n";
  for (int i = 0; i < 400; ++i) {
    page += "<p class=\"row\">Row " + std::to_string(i) + " of the korvan test page, with a <a href=\"/item/" +
            std::to_string(i) + "\">link</a>.</p>\n";
  }
  return page + "</body></html>\n";
}

const char HttpOrigin::kChunks[5][40] = {"first chunk\n", "2nd", "a third, somewhat longer chunk of text\n", "4",
                                         "the end\n"};

HttpOrigin::HttpOrigin() : server_([this](int fd) { Serve(fd); }, 32 * 1024) {}

namespace {

// What a test origin keeps of a request: field names in lower case.
RecordedRequest Record(const http::request<http::string_body>& req) {
  RecordedRequest record{std::string(req.method_string()), std::string(req.target()), static_cast<int>(req.version()),
                         {}, req.body()};
  for (const auto& field : req) {
    std::string name(field.name_string());
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    record.fields[name] = std::string(field.value());
  }
  return record;
}

// Reads the requests on `fd` one after the other, hands each to `keep` and
// lets `answer` reply; ends when the peer closes, sends something
// unreadable, or `answer` says to stop.
using Keeper = std::function<void(RecordedRequest)>;
using Answerer = std::function<bool(asio::ip::tcp::socket&, const http::request<http::string_body>&)>;
void ServeRequests(int fd, const Keeper& keep, const Answerer& answer) {
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  socket.assign(asio::ip::tcp::v4(), ::dup(fd));
  beast::flat_buffer buffer;
  for (;;) {
    http::request_parser<http::string_body> parser;
    parser.body_limit(64 * 1024 * 1024);
    beast::error_code ec;
    http::read(socket, buffer, parser, ec);
    if (ec) return;
    const auto& req = parser.get();
    keep(Record(req));
    if (!answer(socket, req)) return;
  }
}

}  // namespace

std::vector<RecordedRequest> HttpOrigin::requests() const {
  MutexLock lock(mutex_);
  return requests_;
}

void HttpOrigin::Serve(int fd) {
  const auto keep = [this](RecordedRequest request) {
    MutexLock lock(mutex_);
    requests_.push_back(std::move(request));
  };
  ServeRequests(fd, keep, [&](asio::ip::tcp::socket& socket, const http::request<http::string_body>& req) {
    beast::error_code ec;
    const std::string target(req.target());
    const bool head = req.method() == http::verb::head;
    const bool keep_alive = req.keep_alive();

    if (target == "/chunked") {
      std::string header = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n";
      header += keep_alive ? "\r\n" : "Connection: close\r\n\r\n";
      if (!SendAllTo(fd, header.data(), header.size())) return false;
      if (!head) {
        for (const auto* chunk : kChunks) {
          std::ostringstream piece;
          piece << std::hex << std::string(chunk).size() << "\r\n" << chunk << "\r\n";
          if (!SendAllTo(fd, piece.str().data(), piece.str().size())) return false;
        }
        if (!SendAllTo(fd, "0\r\n\r\n", 5)) return false;
      }
    } else if (target == "/old") {
      const std::string answer = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nan answer ended by closing\n";
      SendAllTo(fd, answer.data(), answer.size());
      return false;
    } else if (target.rfind("/big/", 0) == 0) {
      const std::size_t size = std::stoul(target.substr(5));
      const std::string header = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
      if (!SendAllTo(fd, header.data(), header.size())) return false;
      for (std::size_t sent = 0, i = 0; sent < size && !head; sent += kBigPiece, ++i) {
        const std::string piece = BigPiece(i);
        const std::size_t n = std::min(piece.size(), size - sent);
        if (!SendAllTo(fd, piece.data(), n)) return false;
        big_written += n;
      }
    } else {
      http::response<http::string_body> res{http::status::ok, req.version()};
      if (target == "/page.html") {
        res.set(http::field::content_type, "text/html");
        res.body() = SampleHtml();
      } else if (target == "/blob.bin") {
        res.set(http::field::content_type, "application/octet-stream");
        res.body() = RandomBytes(300000, 1);
      } else if (target == "/echo" && req.method() == http::verb::post) {
        res.body() = req.body();
      } else {
        res.result(http::status::not_found);
        res.body() = "not here\n";
      }
      res.keep_alive(keep_alive);
      res.prepare_payload();
      if (head) {
        http::response_serializer<http::string_body> sr(res);
        http::write_header(socket, sr, ec);
      } else {
        http::write(socket, res, ec);
      }
      if (ec) return false;
    }
    return keep_alive;
  });
}

StaticOrigin::StaticOrigin(std::map<std::string, StaticAnswer> answers)
    : answers_(std::move(answers)), server_([this](int fd) { Serve(fd); }) {}

std::vector<RecordedRequest> StaticOrigin::requests() const {
  MutexLock lock(mutex_);
  return requests_;
}

void StaticOrigin::Serve(int fd) {
  const auto keep = [this](RecordedRequest request) {
    MutexLock lock(mutex_);
    requests_.push_back(std::move(request));
  };
  ServeRequests(fd, keep, [&](asio::ip::tcp::socket&, const http::request<http::string_body>& req) {
    const bool keep_alive = req.keep_alive();
    const bool head = req.method() == http::verb::head;
    const auto it = answers_.find(std::string(req.target()));
    std::string answer;
    if (it == answers_.end()) {
      answer = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot here\n";
    } else {
      const StaticAnswer& a = it->second;
      answer = "HTTP/1.1 200 OK\r\nContent-Type: " + a.content_type + "\r\n" + a.extra_fields;
      answer += a.chunked ? "Transfer-Encoding: chunked\r\n" : "Content-Length: " + std::to_string(a.body.size()) + "\r\n";
      answer += keep_alive ? "\r\n" : "Connection: close\r\n\r\n";
      if (!head && a.chunked) {
        for (std::size_t at = 0; at < a.body.size(); at += 1000) {
          const std::string piece = a.body.substr(at, 1000);
          std::ostringstream size;
          size << std::hex << piece.size();
          answer += size.str() + "\r\n" + piece + "\r\n";
        }
        answer += "0\r\n\r\n";
      } else if (!head) {
        answer += a.body;
      }
    }
    return SendAllTo(fd, answer.data(), answer.size()) && keep_alive;
  });
}

EchoServer::EchoServer()
    : server_([](int fd) {
        char chunk[16384];
        for (;;) {
          const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
          if (n <= 0 || !SendAllTo(fd, chunk, static_cast<std::size_t>(n))) return;
        }
      }) {}

SmtpSink::SmtpSink() : server_([this](int fd) { Serve(fd); }) {}

std::vector<std::string> SmtpSink::messages() const {
  MutexLock lock(mutex_);
  return messages_;
}

std::vector<std::string> SmtpSink::commands() const {
  MutexLock lock(mutex_);
  return commands_;
}

void SmtpSink::Serve(int fd) {
  const auto reply = [fd](const std::string& text) { return SendAllTo(fd, text.data(), text.size()); };
  std::string buffered;
  if (!reply("220 sink.test ESMTP ready\r\n")) return;
  for (;;) {
    const std::string line = ReadLine(fd, buffered);
    if (line == "\x04") return;
    {
      MutexLock lock(mutex_);
      commands_.push_back(line);
    }
    if (line == "DATA") {
      if (!reply("354 go ahead\r\n")) return;
      std::string message;
      for (;;) {
        const std::string body_line = ReadLine(fd, buffered);
        if (body_line == "\x04") return;
        if (body_line == ".") break;
        message += body_line + "\r\n";
      }
      {
        MutexLock lock(mutex_);
        messages_.push_back(message);
      }
      if (!reply("250 queued\r\n")) return;
    } else if (line == "QUIT") {
      reply("221 bye\r\n");
      return;
    } else {
      if (!reply("250 ok\r\n")) return;
    }
  }
}

}  // namespace korvan::server::test
