// The fake compression server against a bare client socket: what later
// steps rely on when they test the real client against it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/fake_server.h"
#include "wire/frame_reader.h"
#include "wire/frame_writer.h"
#include "wire/word_compress.h"

namespace korvan {
namespace {

using test::Bytes;

int ConnectTo(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  return fd;
}

void SendAll(int fd, const Bytes& bytes) {
  ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// Reads until `frames` complete frames arrived or the stream ends.
std::vector<Bytes> ReadFrames(int fd, const WordList& words, std::size_t frames, bool* closed = nullptr) {
  ReceiveBuffer rx;
  std::vector<Bytes> got;
  std::uint8_t buf[4096];
  while (got.size() < frames) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) break;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (closed != nullptr) *closed = true;
      break;
    }
    rx.Append(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)));
    DecodeFrames(rx, [&](const ReceiveBuffer& b, const FrameView& f) {
      Bytes payload(b.data().begin() + static_cast<long>(f.payload_offset),
                    b.data().begin() + static_cast<long>(f.payload_offset + f.payload_length));
      payload.resize(std::max<std::size_t>(payload.size(), 1));
      Bytes out(kMaxUnpackedBlock);
      const int m = WordCompress::UnpackBlock(words, payload.data(), f.escape, f.flags, f.payload_length, out.data());
      out.resize(m > 0 ? static_cast<std::size_t>(m) : 0);
      got.push_back(out);
      return FrameVerdict::kContinue;
    });
  }
  return got;
}

TEST(FakeServer, DecodesOpeningRequestAndFrames) {
  const auto words = std::make_shared<const WordList>(2, std::vector<std::string>{"Host: ", "\r\n\r\n"});
  test::FakeCompressionServer server(words);
  const int fd = ConnectTo(server.port());
  const auto conn = server.NextConnection();
  ASSERT_NE(conn, nullptr);

  Bytes first = BuildOpening(MakeLoginBlock(100000001, "demo", 2, 7), 0xF7, kFilterBlockFlash,
                             MakeServiceByte(Protocol::kTcpIp, 5), true);
  const std::string host = "Host: example.test:25\r\n\r\n";
  const Bytes frame = PackFrame(*words, Bytes(host.begin(), host.end()));
  first.insert(first.end(), frame.begin(), frame.end());
  SendAll(fd, first);
  ASSERT_TRUE(conn->WaitForFrames(1));

  const auto opening = conn->Opening();
  ASSERT_TRUE(opening.has_value());
  EXPECT_EQ(opening->user_id, 100000001);
  EXPECT_EQ(opening->protocol(), 1);
  EXPECT_EQ(opening->timeout(), 5);
  EXPECT_TRUE(conn->AccountInfoRequested());
  const auto frames = conn->Frames();
  ASSERT_EQ(frames.size(), 1U);
  EXPECT_EQ(frames[0].unpacked, Bytes(host.begin(), host.end()));
  EXPECT_EQ(conn->ReadSizes().front(), first.size());  // one write, one read
  ::close(fd);
  EXPECT_TRUE(conn->WaitForPeerClose());
}

TEST(FakeServer, SendsScriptedFramesSplitAsAsked) {
  const auto words = std::make_shared<const WordList>(1, std::vector<std::string>{"<html>", "</html>"});
  test::FakeCompressionServer server(words);
  const int fd = ConnectTo(server.port());
  const auto conn = server.NextConnection();
  ASSERT_NE(conn, nullptr);

  const std::string page = "<html>" + std::string(3000, 'p') + "</html>";
  Bytes stream = PackFrame(*words, Bytes(page.begin(), page.end()));
  const Bytes control = MakeFrame(tfControl, Bytes{ckStatusText, 'o', 'k'});
  stream.insert(stream.end(), control.begin(), control.end());
  conn->Send(stream, {1, 1, 1, 5}, std::chrono::milliseconds(5));
  conn->SendControl(ckConnectOk);
  conn->SendControl(ckCountOnly, Bytes{0x10, 0x27});

  const auto got = ReadFrames(fd, *words, 4);
  ASSERT_EQ(got.size(), 4U);
  EXPECT_EQ(got[0], Bytes(page.begin(), page.end()));
  EXPECT_EQ(got[1], (Bytes{ckStatusText, 'o', 'k'}));
  EXPECT_EQ(got[2], Bytes{ckConnectOk});
  EXPECT_EQ(got[3], (Bytes{ckCountOnly, 0x10, 0x27}));

  conn->Close();
  bool closed = false;
  ReadFrames(fd, *words, 1, &closed);
  EXPECT_TRUE(closed);
  ::close(fd);
}

TEST(FakeServer, KeepsConnectionsApart) {
  const auto words = std::make_shared<const WordList>();
  test::FakeCompressionServer server(words);
  const int a = ConnectTo(server.port());
  const auto ca = server.NextConnection();
  const int b = ConnectTo(server.port());
  const auto cb = server.NextConnection();
  ASSERT_NE(ca, nullptr);
  ASSERT_NE(cb, nullptr);
  SendAll(a, Bytes(15, 0xAA));
  SendAll(b, Bytes(15, 0xBB));
  ASSERT_TRUE(ca->WaitForReceived(15));
  ASSERT_TRUE(cb->WaitForReceived(15));
  EXPECT_EQ(ca->Received(), Bytes(15, 0xAA));
  EXPECT_EQ(cb->Received(), Bytes(15, 0xBB));
  EXPECT_EQ(server.AcceptedCount(), 2U);
  EXPECT_EQ(server.NextConnection(std::chrono::milliseconds(50)), nullptr);
  ::close(a);
  ::close(b);
}

}  // namespace
}  // namespace korvan
