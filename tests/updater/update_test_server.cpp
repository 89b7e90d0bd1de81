#include "tests/updater/update_test_server.h"

#include <unistd.h>

#include <algorithm>
#include <span>

namespace korvan::test {
namespace {

// The path of a request target, also of an absolute URL.
std::string PathOf(std::string target) {
  const std::size_t scheme = target.find("://");
  if (scheme != std::string::npos) {
    const std::size_t slash = target.find('/', scheme + 3);
    target = slash == std::string::npos ? "/" : target.substr(slash);
  }
  return target;
}

bool SendAll(PosixStreamSocket& socket, std::string_view bytes) {
  return socket.Write({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

}  // namespace

UpdateTestServer::UpdateTestServer() : acceptor_([this] { AcceptLoop(); }) {}

UpdateTestServer::~UpdateTestServer() {
  stopping_ = true;
  acceptor_.join();
  // Each connection's thread sees the end within its read slice and closes
  // its own socket (a stream is closed by the thread that uses it).
  std::vector<std::thread> threads;
  {
    MutexLock lock(mutex_);
    threads.swap(threads_);
  }
  for (auto& thread : threads) thread.join();
}

void UpdateTestServer::AcceptLoop() {
  while (!stopping_) {
    std::shared_ptr<PosixStreamSocket> socket = listener_.Accept(50);
    if (!socket) continue;
    socket->SetTimeout(5000);
    MutexLock lock(mutex_);
    threads_.emplace_back([this, socket] {
      Serve(*socket);
      socket->Close();
    });
  }
}

void UpdateTestServer::Answer(const std::string& path, std::string raw_response) {
  MutexLock lock(mutex_);
  replies_[path] = Reply{std::move(raw_response), false, false};
}

void UpdateTestServer::AnswerBody(const std::string& path, const std::string& body, bool with_length) {
  std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n";
  if (with_length) head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  if (!with_length) head += "Connection: close\r\n";
  MutexLock lock(mutex_);
  replies_[path] = Reply{head + "\r\n" + body, !with_length, false};
}

void UpdateTestServer::AnswerStalled(const std::string& path, const std::string& body, std::size_t sent) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  MutexLock lock(mutex_);
  replies_[path] = Reply{head + body.substr(0, sent), false, true};
}

void UpdateTestServer::AnswerInPieces(const std::string& path, std::string raw_response, std::size_t split) {
  MutexLock lock(mutex_);
  replies_[path] = Reply{std::move(raw_response), false, false, split};
}

std::vector<std::string> UpdateTestServer::request_heads() const {
  MutexLock lock(mutex_);
  return heads_;
}

std::size_t UpdateTestServer::requests_for(const std::string& path) const {
  MutexLock lock(mutex_);
  return static_cast<std::size_t>(std::count(paths_.begin(), paths_.end(), path));
}

void UpdateTestServer::Serve(PosixStreamSocket& socket) {
  // Reads wait in short slices, so that the end of the server is seen; only
  // a closed or failed connection ends this.
  auto receive = [&](std::string& into) {
    while (socket.IsOpen() && !stopping_) {
      if (!socket.Readable()) {
        ::usleep(2000);
        continue;
      }
      std::uint8_t buffer[4096];
      const long n = socket.Read(buffer, sizeof buffer);
      if (n <= 0) return false;
      into.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
      return true;
    }
    return false;
  };
  std::string pending;
  for (;;) {
    std::size_t head_end;
    while ((head_end = pending.find("\r\n\r\n")) == std::string::npos) {
      if (!receive(pending)) return;
    }
    const std::string head = pending.substr(0, head_end + 4);
    pending.erase(0, head_end + 4);
    const std::size_t first_blank = head.find(' ');
    const std::size_t second_blank = head.find(' ', first_blank + 1);
    const std::string path = PathOf(head.substr(first_blank + 1, second_blank - first_blank - 1));
    Reply reply;
    {
      MutexLock lock(mutex_);
      heads_.push_back(head);
      paths_.push_back(path);
      const auto it = replies_.find(path);
      reply = it != replies_.end() ? it->second
                                   : Reply{"HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nNot found"};
    }
    if (reply.split > 0 && reply.split < reply.bytes.size()) {
      if (!SendAll(socket, std::string_view(reply.bytes).substr(0, reply.split))) return;
      ::usleep(100000);
      reply.bytes.erase(0, reply.split);
    }
    if (!SendAll(socket, reply.bytes)) return;
    if (reply.close_after) {
      socket.Close();
      return;
    }
    if (reply.stall) {
      // Silent until the other side goes.
      std::string ignored;
      while (receive(ignored)) {
      }
      return;
    }
  }
}

}  // namespace korvan::test
