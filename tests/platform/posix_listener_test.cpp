// Real listening sockets on 127.0.0.1 with ephemeral ports; every wait is
// bounded so that a fault fails the test instead of hanging it.
#include "platform/posix_listener.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "shell/korvan_form.h"
#include "tests/shell/shell_fakes.h"

namespace korvan {
namespace {

constexpr auto kWait = std::chrono::seconds(10);

// Echoes every connection on a thread of its own and records what came in.
// Start runs on the listener's accept thread, the rest on the test's;
// `mutex_` guards the records.
class EchoFactory : public ConnectionFactory {
 public:
  ~EchoFactory() override {
    for (auto& t : threads_) t.join();
  }
  void Start(std::shared_ptr<AcceptedSocket> socket, std::size_t entry) override KORVAN_EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      entries_.push_back(entry);
      local_addresses_.push_back(socket->local_address());
      client_ports_.push_back(socket->client_port());
    }
    changed_.NotifyAll();
    threads_.emplace_back([socket] {
      char buffer[256];
      for (;;) {
        const ssize_t n = ::recv(socket->fd(), buffer, sizeof buffer, 0);
        if (n <= 0) return;
        ::send(socket->fd(), buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL);
      }
    });
  }
  bool WaitForConnections(std::size_t count) KORVAN_EXCLUDES(mutex_) {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    MutexLock lock(mutex_);
    while (entries_.size() < count) {
      if (!changed_.WaitUntil(mutex_, deadline)) return entries_.size() >= count;
    }
    return true;
  }
  std::vector<std::size_t> entries() KORVAN_EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return entries_;
  }
  std::vector<std::string> local_addresses() KORVAN_EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return local_addresses_;
  }

 private:
  Mutex mutex_;
  CondVar changed_;
  std::vector<std::size_t> entries_ KORVAN_GUARDED_BY(mutex_);
  std::vector<std::string> local_addresses_ KORVAN_GUARDED_BY(mutex_);
  std::vector<std::uint16_t> client_ports_ KORVAN_GUARDED_BY(mutex_);
  std::vector<std::thread> threads_;  // joined only by the accept thread's owner
};

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A socket bound to a free loopback port; listening when asked.
UniqueFd BoundSocket(int* port, bool listen) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = Loopback(0);
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t size = sizeof a;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &size);
  *port = ntohs(a.sin_port);
  if (listen) ::listen(fd.get(), 1);
  return fd;
}

int FreePort() {
  int port = 0;
  BoundSocket(&port, false);
  return port;
}

UniqueFd Connect(int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = Loopback(port);
  EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  return fd;
}

// What the peer sends next; "" on end of stream, "timeout" when nothing comes.
std::string Receive(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kWait).count())) != 1) return "timeout";
  char buffer[256];
  const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  return n <= 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(n));
}

TEST(PosixListener, HandsEachConnectionToTheFactoryWithItsEntry) {
  EchoFactory factory;
  PosixListener listener(factory, "127.0.0.1");
  listener.set_port(FreePort());
  listener.set_entry(4);
  std::string error;
  ASSERT_TRUE(listener.Activate(&error)) << error;
  EXPECT_TRUE(listener.active());

  auto a = Connect(listener.port());
  auto b = Connect(listener.port());
  ASSERT_TRUE(factory.WaitForConnections(2));
  EXPECT_EQ(factory.entries(), (std::vector<std::size_t>{4, 4}));
  EXPECT_EQ(factory.local_addresses()[0], "127.0.0.1");
  ASSERT_EQ(::send(a.get(), "ping", 4, MSG_NOSIGNAL), 4);
  EXPECT_EQ(Receive(a.get()), "ping");
  EXPECT_EQ(listener.ActiveConnectionCount(), 2u);

  // Closing ends the connection for the client and takes it off the list.
  listener.CloseFirstConnection();
  EXPECT_EQ(listener.ActiveConnectionCount(), 1u);
  EXPECT_EQ(Receive(a.get()), "");
  // Deactivating closes the rest and frees the port.
  listener.Deactivate();
  EXPECT_FALSE(listener.active());
  EXPECT_EQ(Receive(b.get()), "");
  EXPECT_EQ(listener.ActiveConnectionCount(), 0u);
  ASSERT_TRUE(listener.Activate(&error)) << error;
}

TEST(PosixListener, APortHeldByAnotherSocketCannotBeOpened) {
  int port = 0;
  const UniqueFd holder = BoundSocket(&port, true);
  EchoFactory factory;
  PosixListener listener(factory, "127.0.0.1");
  listener.set_port(port);
  std::string error;
  EXPECT_FALSE(listener.Activate(&error));
  EXPECT_NE(error.find("bind"), std::string::npos);
  EXPECT_FALSE(listener.active());
}

TEST(PosixListener, FormReportsATakenPortAndServesTheOthers) {
  int taken = 0;
  const UniqueFd holder = BoundSocket(&taken, true);
  const int free_port = FreePort();

  EchoFactory factory;
  PosixListenerFactory listeners(factory, "127.0.0.1");
  test::FakeShell shell;
  shell.profile.bytes = "[Setup]\nSocketCount=2\n[Socket1]\nLPort=" + std::to_string(taken) +
                        "\nProtocol=0\n[Socket2]\nLPort=" + std::to_string(free_port) + "\nProtocol=2\n";
  ShellServices services = shell.Services();
  ShellServices real{shell.profile, listeners, shell.pump, shell.clock, shell.proxy, shell.autostart,
                     shell.prompts, shell.texts, services.locale, 0};
  KorvanForm form(real);
  form.Open(shell.LogFileHandle(), {});

  ASSERT_EQ(form.ports().rows().size(), 2u);
  EXPECT_FALSE(form.ports().entries()[0].listener->active());
  EXPECT_TRUE(form.ports().entries()[1].listener->active());
  EXPECT_TRUE(form.alarm());
  EXPECT_EQ(shell.prompts.errors.size(), 1u);
  EXPECT_NE(form.log().memo().find("port " + std::to_string(taken)), std::string::npos);

  auto client = Connect(free_port);
  ASSERT_TRUE(factory.WaitForConnections(1));
  EXPECT_EQ(factory.entries()[0], 1u);
  // Reset closes the client's connection and opens the port again.
  form.ResetConnClick();
  EXPECT_EQ(Receive(client.get()), "");
  auto again = Connect(free_port);
  ASSERT_TRUE(factory.WaitForConnections(2));
  form.Close();
  EXPECT_EQ(Receive(again.get()), "");
}

}  // namespace
}  // namespace korvan
