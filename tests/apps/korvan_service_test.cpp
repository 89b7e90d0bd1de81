// `korvan --service` as a user runs it: the real program, its own folders,
// real client connections on loopback and the fake compression server.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/fake_server.h"
#include "tests/support/posix_sockets.h"
#include "tests/support/test_paths.h"
#include "wire/word_list.h"

namespace korvan {
namespace {

using test::Bytes;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

Bytes ToBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }
std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A program folder and a configuration folder of its own, in a scratch
// directory that goes away with the test.
class ServiceFolders {
 public:
  ServiceFolders() {
    root_ = fs::temp_directory_path() / ("korvan-service-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    fs::remove_all(root_);
    fs::create_directories(app());
    fs::create_directories(config());
    for (const char* f : {"cs.kvl", "en.kvl", "korvan.lvk"}) fs::copy_file(test::BinDir() / f, app() / f);
  }
  ~ServiceFolders() { fs::remove_all(root_); }
  fs::path app() const { return root_ / "app"; }
  fs::path config() const { return root_ / "config"; }
  fs::path root() const { return root_; }

 private:
  static inline int counter_ = 0;
  fs::path root_;
};

struct Ports {
  int http = test::FreeLoopbackPort();
  int mapping = test::FreeLoopbackPort();
  int socks = test::FreeLoopbackPort();
  int smtp = test::FreeLoopbackPort();
};

class KorvanService : public ::testing::Test {
 protected:
  void SetUp() override {
    words_ = LoadWordList(folders_.app() / "korvan.lvk");
    ASSERT_NE(words_, nullptr);
    server_ = std::make_unique<test::FakeCompressionServer>(words_);
    std::ofstream ini(folders_.config() / "Korvan.ini", std::ios::binary);
    ini << "[Config]\r\nIDSE_Value=100000001\r\nPassEL_Text=demo\r\nLanguage=en.kvl\r\n"
        << "ServerAddress=127.0.0.1\r\nServerPort=" << server_->port() << "\r\n"
        << "[Setup]\r\nSocketCount=4\r\n"
        << "[Socket1]\r\nLPort=" << ports_.http << "\r\nProtocol=0\r\n"
        << "[Socket2]\r\nLPort=" << ports_.mapping << "\r\nProtocol=1\r\nHost=pop.example.test\r\nCPort=110\r\n"
        << "[Socket3]\r\nLPort=" << ports_.socks << "\r\nProtocol=2\r\nTimeout=4\r\n"
        << "[Socket4]\r\nLPort=" << ports_.smtp << "\r\nProtocol=3\r\n";
    ini.close();
    // A desktop with proxy settings and an autostart entry that service
    // mode must leave alone.
    fs::create_directories(folders_.root() / "xdg" / "autostart");
    std::ofstream(folders_.root() / "xdg" / "kioslaverc") << kDesktopProxy;
    std::ofstream(folders_.root() / "xdg" / "autostart" / "korvan.desktop") << "[Desktop Entry]\n";
    ::setenv("XDG_CONFIG_HOME", (folders_.root() / "xdg").c_str(), 1);
    ::setenv("XDG_CURRENT_DESKTOP", "KDE", 1);
    Start();
  }
  static constexpr const char* kDesktopProxy = "[Proxy Settings]\nProxyType=0\n";

  void Start() {
    process_ = std::make_unique<test::ChildProcess>(
        test::BinDir() / "korvan",
        std::vector<std::string>{"--service", "--config-dir", folders_.config().string(), "--app-dir",
                                 folders_.app().string()},
        folders_.root() / "output.txt");
    // Ready once the last port of the table accepts.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (auto probe = test::ConnectLoopback(static_cast<std::uint16_t>(ports_.smtp))) {
        probe->Close();
        if (auto c = server_->NextConnection(2s)) c->Close();  // the probe's tunnel
        return;
      }
      std::this_thread::sleep_for(20ms);
    }
    FAIL() << "korvan did not open its ports:\n" << process_->Output();
  }

  std::unique_ptr<test::PosixStreamSocket> Client(int port) {
    auto c = test::ConnectLoopback(static_cast<std::uint16_t>(port));
    if (c == nullptr) throw std::runtime_error("cannot connect to korvan:\n" + process_->Output());
    return c;
  }

  void TearDown() override {
    // A sanitizer report of the program shows in its output.
    if (process_ && process_->running()) process_->Stop(SIGTERM);
    if (process_) {
      EXPECT_EQ(process_->Output().find("Sanitizer"), std::string::npos) << process_->Output();
    }
  }

  static Bytes ReadAtLeast(test::PosixStreamSocket& s, std::size_t n) {
    Bytes got;
    std::uint8_t buf[65536];
    while (got.size() < n) {
      const long r = s.Read(buf, sizeof buf);
      if (r <= 0) break;
      got.insert(got.end(), buf, buf + r);
    }
    return got;
  }

  ServiceFolders folders_;
  Ports ports_;
  WordListPtr words_;
  std::unique_ptr<test::FakeCompressionServer> server_;
  std::unique_ptr<test::ChildProcess> process_;
};

TEST_F(KorvanService, CarriesAnHttpRequestAndItsAnswer) {
  auto client = Client(ports_.http);
  const std::string request = "GET http://example.test/page HTTP/1.1\r\nHost: example.test\r\n\r\n";
  ASSERT_TRUE(client->Write(ToBytes(request)));
  auto tunnel = server_->NextConnection();
  ASSERT_NE(tunnel, nullptr);
  ASSERT_TRUE(tunnel->WaitForFrames(1));
  const auto opening = tunnel->Opening();
  EXPECT_EQ(opening->user_id, 100000001);
  EXPECT_EQ(opening->password_digest, PasswordDigestPrefix("demo"));
  EXPECT_EQ(opening->word_list_version, words_->version());
  EXPECT_EQ(opening->protocol(), 0);
  EXPECT_TRUE(tunnel->AccountInfoRequested());
  EXPECT_EQ(Text(tunnel->ReceivedData()), request);

  const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
  tunnel->SendData(ToBytes(answer));
  EXPECT_EQ(Text(ReadAtLeast(*client, answer.size())), answer);
}

TEST_F(KorvanService, ConnectTunnelAndGatewayPage) {
  auto client = Client(ports_.http);
  ASSERT_TRUE(client->Write(ToBytes("CONNECT secure.example.test:443 HTTP/1.1\r\n\r\n")));
  auto tunnel = server_->NextConnection();
  ASSERT_NE(tunnel, nullptr);
  ASSERT_TRUE(tunnel->WaitForFrames(1));
  tunnel->SendControl(ckConnectOk);
  const std::string ok = "HTTP/1.0 200 Connection established\r\nProxy-agent: KORVAN\r\n\r\n";
  EXPECT_EQ(Text(ReadAtLeast(*client, ok.size())), ok);
  ASSERT_TRUE(client->Write(ToBytes("\x16\x03\x01 client hello")));
  ASSERT_TRUE(tunnel->WaitForFrames(2));
  tunnel->SendData(ToBytes("\x16\x03\x03 server hello"));
  EXPECT_EQ(Text(ReadAtLeast(*client, 16)), "\x16\x03\x03 server hello");

  auto second = Client(ports_.http);
  ASSERT_TRUE(second->Write(ToBytes("GET http://nowhere.example.test/ HTTP/1.0\r\n\r\n")));
  auto tunnel2 = server_->NextConnection();
  ASSERT_NE(tunnel2, nullptr);
  ASSERT_TRUE(tunnel2->WaitForFrames(1));
  tunnel2->SendControl(ckGatewayError, ToBytes("nowhere.example.test"));
  const std::string page = Text(ReadAtLeast(*second, 200));
  EXPECT_TRUE(page.starts_with("HTTP/1.1 504 OK\r\n")) << page;
}

TEST_F(KorvanService, MappingSocksAndSmtpPorts) {
  auto mapped = Client(ports_.mapping);
  auto t1 = server_->NextConnection();
  ASSERT_NE(t1, nullptr);
  ASSERT_TRUE(t1->WaitForFrames(1));
  EXPECT_EQ(t1->Opening()->protocol(), 1);
  EXPECT_EQ(Text(t1->ReceivedData()), "Host: pop.example.test:110\r\n\r\n");
  t1->SendData(ToBytes("+OK POP3 ready\r\n"));
  EXPECT_EQ(Text(ReadAtLeast(*mapped, 16)), "+OK POP3 ready\r\n");

  auto socks = Client(ports_.socks);
  auto t2 = server_->NextConnection();
  ASSERT_NE(t2, nullptr);
  ASSERT_TRUE(t2->WaitForReceived(kOpeningSize));
  EXPECT_EQ(t2->Opening()->protocol(), 2);
  EXPECT_EQ(t2->Opening()->timeout(), 4);
  const Bytes request = {4, 1, 0, 80, 93, 184, 216, 34, 'u', 0};
  ASSERT_TRUE(socks->Write(request));
  ASSERT_TRUE(t2->WaitForFrames(1));
  EXPECT_EQ(t2->ReceivedData(), request);
  t2->SendData(Bytes{0, 90, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(ReadAtLeast(*socks, 8), (Bytes{0, 90, 0, 0, 0, 0, 0, 0}));

  auto smtp = Client(ports_.smtp);
  auto t3 = server_->NextConnection();
  ASSERT_NE(t3, nullptr);
  ASSERT_TRUE(t3->WaitForReceived(kOpeningSize));
  EXPECT_EQ(t3->Opening()->protocol(), 3);
  t3->SendData(ToBytes("220 relay ready\r\n"));
  EXPECT_EQ(Text(ReadAtLeast(*smtp, 17)), "220 relay ready\r\n");
  t3->Close();
  std::uint8_t b;
  EXPECT_EQ(smtp->Read(&b, 1), 0) << "a closed tunnel closes the client";
}

TEST_F(KorvanService, StopsInOrderOnSigterm) {
  auto client = Client(ports_.smtp);
  ASSERT_NE(server_->NextConnection(), nullptr);
  EXPECT_EQ(process_->Stop(SIGTERM), 0) << process_->Output();
  const std::string ini = ReadFile(folders_.config() / "Korvan.ini");
  EXPECT_NE(ini.find("ShutDownOK=1"), std::string::npos) << ini;
  EXPECT_NE(ini.find("LPort=" + std::to_string(ports_.smtp)), std::string::npos);
  const std::string log = ReadFile(folders_.app() / "korvan.log");
  EXPECT_NE(log.find("Application started"), std::string::npos) << log;
  EXPECT_TRUE(log.ends_with("Application closed\r\n\r\n")) << log;
  EXPECT_EQ(ReadFile(folders_.root() / "xdg" / "kioslaverc"), kDesktopProxy) << "service mode never touches the desktop";
  EXPECT_TRUE(fs::exists(folders_.root() / "xdg" / "autostart" / "korvan.desktop"));
  EXPECT_EQ(log.find("System proxy settings"), std::string::npos);
  std::uint8_t b;
  EXPECT_LE(client->Read(&b, 1), 0);
}

TEST(KorvanServiceStart, FailsClearlyWithoutLanguagesOrWithADamagedWordList) {
  ServiceFolders folders;
  const std::string ini = "[Config]\r\nIDSE_Value=123\r\n";
  std::ofstream(folders.config() / "Korvan.ini", std::ios::binary) << ini;
  const std::vector<std::string> args{"--service", "--config-dir", folders.config().string(), "--app-dir",
                                      folders.app().string()};

  std::ofstream(folders.app() / "korvan.lvk", std::ios::binary | std::ios::trunc) << "not a word list at all";
  test::ChildProcess damaged(test::BinDir() / "korvan", args, folders.root() / "out1.txt");
  EXPECT_EQ(damaged.Wait(), 1);
  EXPECT_NE(damaged.Output().find("File KORVAN.LVK is corrupted."), std::string::npos) << damaged.Output();

  fs::remove(folders.app() / "cs.kvl");
  fs::remove(folders.app() / "en.kvl");
  test::ChildProcess no_language(test::BinDir() / "korvan", args, folders.root() / "out2.txt");
  EXPECT_EQ(no_language.Wait(), 1);
  EXPECT_NE(no_language.Output().find("Language definition file was not found."), std::string::npos);
  EXPECT_EQ(ReadFile(folders.config() / "Korvan.ini"), ini) << "a failed start writes nothing";
}

}  // namespace
}  // namespace korvan
