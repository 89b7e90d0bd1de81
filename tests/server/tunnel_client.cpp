#include "tests/server/tunnel_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "wire/frame_format.h"
#include "wire/frame_writer.h"
#include "wire/word_compress.h"

namespace korvan::server::test {

Bytes ToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
std::string ToString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

WordListPtr TestWords() {
  static const WordListPtr words = std::make_shared<const WordList>(
      2, std::vector<std::string>{"HTTP/1.1 ", "Content-Length: ", "Content-Type: ", "\r\n\r\n", "<html>", "Host: ",
                                  "korvan"});
  return words;
}

TunnelClient::TunnelClient(std::uint16_t port, bool small_receive_buffer) : words_(TestWords()) {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (small_receive_buffer) {
    const int size = 16 * 1024;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
}

TunnelClient::~TunnelClient() { ::close(fd_); }

Bytes TunnelClient::Opening(const Login& login, Protocol protocol, int timeout, bool account_info) {
  return BuildOpening(MakeLoginBlock(login.id, login.password, login.version, 0), 0xF7, 0,
                      MakeServiceByte(protocol, timeout), account_info);
}

void TunnelClient::SendRaw(const Bytes& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;  // the server may have closed; the test looks at what came back
    sent += static_cast<std::size_t>(n);
    sent_bytes += static_cast<std::size_t>(n);
  }
}

void TunnelClient::Open(const Login& login, Protocol protocol, std::string_view first_data, bool account_info) {
  Bytes first = Opening(login, protocol, 0, account_info);
  if (!first_data.empty()) {
    const Bytes frame = PackFrame(*words_, ToBytes(first_data));
    first.insert(first.end(), frame.begin(), frame.end());
  }
  SendRaw(first);
}

void TunnelClient::SendData(std::string_view data_to_send) {
  while (!data_to_send.empty()) {
    const std::size_t n = std::min(data_to_send.size(), kMaxRawBlock);
    SendRaw(PackFrame(*words_, ToBytes(data_to_send.substr(0, n))));
    data_to_send.remove_prefix(n);
  }
}

std::string TunnelClient::Describe() const {
  std::string text = "received " + std::to_string(raw.size()) + " bytes, " + std::to_string(data.size()) +
                     " bytes of data, controls:";
  for (const auto& c : controls) text += " " + std::to_string(c.kind) + "(" + c.text() + ")";
  if (closed) text += ", closed";
  if (bad_frame) text += ", a frame did not unpack";
  return text + "; data begins: " + data.substr(0, 200);
}

void TunnelClient::CloseSending() { ::shutdown(fd_, SHUT_WR); }

void TunnelClient::Take() {
  DecodeFrames(received_, [this](const ReceiveBuffer& buffer, const FrameView& frame) {
    Bytes out(kMaxUnpackedBlock);
    const int n = frame.payload_length == 0
                      ? 0
                      : WordCompress::UnpackBlock(*words_, buffer.data().data() + frame.payload_offset, frame.escape,
                                                  frame.flags, frame.payload_length, out.data());
    if (n <= 0) {
      bad_frame = true;
      return FrameVerdict::kClose;
    }
    out.resize(static_cast<std::size_t>(n));
    if (frame.flags & tfControl) {
      controls.push_back({out[0], Bytes(out.begin() + 1, out.end()), frame.flags});
    } else {
      data.append(out.begin(), out.end());
      data_frames.push_back(out.size());
    }
    return FrameVerdict::kContinue;
  });
}

bool TunnelClient::ReadUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  std::vector<std::uint8_t> chunk(65536);
  while (!done() && !closed && !bad_frame) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::recv(fd_, chunk.data(), chunk.size(), 0);
    if (n <= 0) {
      closed = true;
      break;
    }
    raw.insert(raw.end(), chunk.begin(), chunk.begin() + n);
    if (decode_frames) {
      received_.Append(std::span<const std::uint8_t>(chunk.data(), static_cast<std::size_t>(n)));
      Take();
    }
  }
  return done();
}

}  // namespace korvan::server::test
