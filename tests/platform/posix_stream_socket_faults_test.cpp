// The worker's TCP streams over real loopback connections, with signals,
// short transfers and resets injected below them.
#include "platform/posix_stream_socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fault_injecting_system_calls.h"

namespace korvan {
namespace {

using test::Call;
using test::CallSet;
using test::FaultInjectingSystemCalls;
using test::Scope;

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 13 + i / 509 + seed);
  return bytes;
}

// Reads exactly `size` bytes, or fewer when the stream ends or fails.
std::vector<std::uint8_t> ReadExactly(StreamSocket& socket, std::size_t size) {
  std::vector<std::uint8_t> out(size);
  std::size_t done = 0;
  while (done < size) {
    const long n = socket.Read(out.data() + done, size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  out.resize(done);
  return out;
}

// A loopback listener; both ends of each connection it makes use `calls`,
// the client end through PosixNetwork::Connect.
class Loopback {
 public:
  explicit Loopback(FaultInjectingSystemCalls& calls) : calls_(calls), network_(calls) {
    listen_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (!listen_ || ::bind(listen_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_.get(), 8) != 0 ||
        ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      ADD_FAILURE() << "cannot listen on loopback";
    }
    port_ = ntohs(address.sin_port);
  }

  struct Pair {
    std::unique_ptr<StreamSocket> client;
    std::unique_ptr<PosixStreamSocket> server;
  };

  Pair Connect() {
    Pair pair;
    pair.client = network_.Connect("127.0.0.1", port_);
    const int fd = ::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) pair.server = std::make_unique<PosixStreamSocket>(UniqueFd(fd, calls_), calls_);
    EXPECT_TRUE(pair.client && pair.server);
    return pair;
  }

  PosixNetwork& network() { return network_; }
  std::uint16_t port() const { return port_; }

 private:
  FaultInjectingSystemCalls& calls_;
  PosixNetwork network_;
  UniqueFd listen_;
  std::uint16_t port_ = 0;
};

int FdOf(const StreamSocket& socket) { return static_cast<const PosixStreamSocket&>(socket).fd(); }

TEST(PosixStreamSocketUnderFaults, AMegabyteEachWayArrivesByteExact) {
  FaultInjectingSystemCalls calls;
  Loopback loopback(calls);
  const auto interrupt = calls.Interrupt(Call::kRecv | Call::kSend | Call::kPoll, 3, Scope::Sockets());
  const auto short_reads = calls.LimitTransfers(Call::kRecv, 1000, Scope::Sockets());
  const auto short_writes = calls.LimitTransfers(Call::kSend, 777, Scope::Sockets());
  auto [client, server] = loopback.Connect();
  ASSERT_TRUE(client && server);

  const auto up = Pattern(1 << 20, 1);
  const auto down = Pattern(1 << 20, 2);
  std::vector<std::uint8_t> received_up;
  std::thread peer([&, &server = server] {
    received_up = ReadExactly(*server, up.size());
    EXPECT_TRUE(server->Write(down));
  });
  EXPECT_TRUE(client->Write(up));
  const auto received_down = ReadExactly(*client, down.size());
  peer.join();

  EXPECT_TRUE(received_up == up) << "upstream: " << received_up.size() << " bytes";
  EXPECT_TRUE(received_down == down) << "downstream: " << received_down.size() << " bytes";
  EXPECT_GT(calls.Hits(interrupt, Call::kRecv), 100u);
  EXPECT_GT(calls.Hits(interrupt, Call::kSend), 100u);
  EXPECT_GT(calls.Hits(short_reads), 1000u);
  EXPECT_GT(calls.Hits(short_writes), 1000u);
}

TEST(PosixStreamSocketUnderFaults, AReadThatASignalInterruptsStillReturnsTheData) {
  FaultInjectingSystemCalls calls;
  Loopback loopback(calls);
  auto [client, server] = loopback.Connect();
  ASSERT_TRUE(client && server);

  // Data already there, behind three interrupted receives.
  ASSERT_TRUE(server->Write(Pattern(5, 0)));
  const auto at_once = calls.Interrupt(Call::kRecv, 1, Scope::Descriptor(FdOf(*client)), 3);
  EXPECT_EQ(ReadExactly(*client, 5), Pattern(5, 0));
  EXPECT_EQ(calls.Hits(at_once), 3u);

  // Data that comes later, while the wait for it is interrupted.
  const auto waiting = calls.Interrupt(Call::kPoll, 1, Scope::Descriptor(FdOf(*client)), 4);
  std::thread late([&, &server = server] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(server->Write(Pattern(3, 9)));
  });
  client->SetTimeout(5000);
  EXPECT_EQ(ReadExactly(*client, 3), Pattern(3, 9));
  late.join();
  EXPECT_EQ(calls.Hits(waiting), 4u);
  EXPECT_FALSE(client->Readable());
}

TEST(PosixStreamSocketUnderFaults, AResetFailsOnlyItsOwnSocket) {
  FaultInjectingSystemCalls calls;
  Loopback loopback(calls);
  auto busy = loopback.Connect();
  auto victim = loopback.Connect();
  ASSERT_TRUE(busy.client && busy.server && victim.client && victim.server);
  calls.LimitTransfers(Call::kSend, 100, Scope::Descriptor(FdOf(*busy.client)));

  // The busy pair moves data on two threads of its own while the other one
  // is reset under it.
  const auto bytes = Pattern(256 << 10, 5);
  std::vector<std::uint8_t> received;
  std::thread reader([&] { received = ReadExactly(*busy.server, bytes.size()); });
  std::thread writer([&] { EXPECT_TRUE(busy.client->Write(bytes)); });

  const auto reset = calls.ResetConnection(FdOf(*victim.client));
  ASSERT_TRUE(victim.server->Write(Pattern(10, 0)));
  std::uint8_t buffer[16];
  errno = 0;
  EXPECT_EQ(victim.client->Read(buffer, sizeof buffer), -1);
  EXPECT_EQ(errno, ECONNRESET);
  EXPECT_FALSE(victim.client->Write(Pattern(10, 0)));
  EXPECT_EQ(calls.Hits(reset, Call::kRecv), 1u);
  EXPECT_EQ(calls.Hits(reset, Call::kSend), 1u);
  // The other end of the reset connection is not in the rule.
  EXPECT_TRUE(victim.server->Write(Pattern(10, 0)));

  writer.join();
  reader.join();
  EXPECT_TRUE(received == bytes) << received.size() << " bytes";
}

TEST(PosixNetworkUnderFaults, AnInterruptedConnectStillConnects) {
  FaultInjectingSystemCalls calls;
  Loopback loopback(calls);
  const auto interrupt = calls.Interrupt(Call::kConnect | Call::kPoll, 1, Scope::Sockets(), 2);
  auto [client, server] = loopback.Connect();
  ASSERT_TRUE(client && server);
  EXPECT_EQ(calls.Hits(interrupt, Call::kConnect), 1u);
  EXPECT_EQ(calls.Hits(interrupt, Call::kPoll), 1u);
  ASSERT_TRUE(client->Write(Pattern(100, 3)));
  EXPECT_EQ(ReadExactly(*server, 100), Pattern(100, 3));
}

TEST(PosixNetworkUnderFaults, AFailedConnectGivesNoSocketAndLeaksNoDescriptor) {
  FaultInjectingSystemCalls calls;
  Loopback loopback(calls);
  const auto refused = calls.Fail(Call::kConnect, ECONNREFUSED, Scope::Sockets(), 1);
  EXPECT_EQ(loopback.network().Connect("127.0.0.1", loopback.port()), nullptr);
  EXPECT_EQ(calls.Hits(refused), 1u);
  EXPECT_EQ(calls.Seen(Call::kSocket), calls.Seen(Call::kClose));

  calls.Fail(Call::kSocket, EMFILE, Scope::Anything(), 1);
  EXPECT_EQ(loopback.network().Connect("127.0.0.1", loopback.port()), nullptr);
}

TEST(PosixNetworkUnderFaults, AnInterruptedWaitStillWaitsItsTime) {
  FaultInjectingSystemCalls calls;
  Loopback loopback(calls);
  auto [client, server] = loopback.Connect();
  ASSERT_TRUE(client && server);
  const auto interrupt = calls.Interrupt(Call::kPoll, 1, Scope::Sockets(), 3);
  const auto start = std::chrono::steady_clock::now();
  loopback.network().WaitReadable(*client, *server, 200);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(calls.Hits(interrupt), 3u);
  EXPECT_GE(waited, std::chrono::milliseconds(190));
  EXPECT_LT(waited, std::chrono::milliseconds(2000));

  calls.Interrupt(Call::kPoll, 1, Scope::Sockets(), 3);
  ASSERT_TRUE(server->Write(Pattern(1, 0)));
  const auto ready_start = std::chrono::steady_clock::now();
  loopback.network().WaitReadable(*client, *server, 5000);
  EXPECT_LT(std::chrono::steady_clock::now() - ready_start, std::chrono::milliseconds(2000));
  EXPECT_TRUE(client->Readable());
}

}  // namespace
}  // namespace korvan
