// A user on KDE or on GNOME ticks the LAN item: the window-mode client
// points the desktop's proxy settings at itself, and a browser that follows
// them (headless Chromium, told nothing about a proxy) goes through the
// whole service. At the end the user's own settings are back exactly.
// GNOME's settings live in GSettings' key-file back-end in the scratch home.
//
// The origin listens on this machine's own non-loopback address: the
// program's bypass list (and Chromium's own rules) send loopback direct.
// It answers with the Accept-Encoding it was sent, which korvan-server
// always sets to "identity"; Chromium on its own asks for gzip.
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <signal.h>

#include <fstream>
#include <thread>

#include "platform/gnome_proxy_settings.h"
#include "tests/apps/service_pair_fixture.h"
#include "tests/support/test_paths.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The first IPv4 address of an interface that is up and not loopback.
std::optional<std::string> OwnAddress() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return std::nullopt;
  std::optional<std::string> found;
  for (ifaddrs* a = list; a != nullptr && !found; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
    if ((ntohl(in->sin_addr.s_addr) >> 24) == 127) continue;
    char text[INET_ADDRSTRLEN];
    if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr) found = text;
  }
  ::freeifaddrs(list);
  return found;
}

constexpr const char* kUsersKdeSettings =
    "[Proxy Settings]\nProxyType=0\nhttpProxy=http://old-proxy.example 8080\nNoProxyFor=intranet\n";
constexpr const char* kUsersGnomeSettings =
    "[system/proxy]\nmode='none'\nignore-hosts=['intranet']\n[system/proxy/http]\nhost='old-proxy.example'\n";

struct Desktop {
  const char* name;         // XDG_CURRENT_DESKTOP
  const char* environment;  // what else the desktop's programs find set
  const char* file;         // where its settings live, below the home
  const char* users_own;    // what the user had there
};

const Desktop kDesktops[] = {
    {"KDE", "KDE_SESSION_VERSION=5", ".config/kioslaverc", kUsersKdeSettings},
    {"GNOME", "GSETTINGS_BACKEND=keyfile", ".config/glib-2.0/settings/keyfile", kUsersGnomeSettings},
};

class DesktopBrowser : public test::ServicePairFixture, public ::testing::WithParamInterface<Desktop> {
 protected:
  void SetUp() override {
    chromium_ = test::FindProgram("chromium");
    if (!chromium_) GTEST_SKIP() << "chromium not installed: desktop browser test skipped";
    if (!fs::exists(test::BinDir() / "korvan-window.so")) GTEST_SKIP() << "this build has no window mode";
    address_ = OwnAddress();
    if (!address_) GTEST_SKIP() << "no non-loopback IPv4 address to serve the page on";
    PrepareFolders(/*needs_curl=*/false);
    if (IsSkipped() || HasFatalFailure()) return;
    StartServer({"--allow-private"});
    if (HasFatalFailure()) return;

    home_ = root_ / "home";
    fs::create_directories(home_ / ".config");
    fs::create_directories(root_ / "runtime");
    fs::permissions(root_ / "runtime", fs::perms::owner_all);
    if (std::string(GetParam().name) == "GNOME") {
      std::string why;
      if (GnomeProxySettings::Open(std::nullopt, &why) == nullptr) GTEST_SKIP() << why;
    }
    fs::create_directories((home_ / GetParam().file).parent_path());
    std::ofstream(home_ / GetParam().file) << GetParam().users_own;
    origin_port_ = test::FreeLoopbackPort();
    origin_process_ = std::make_unique<test::ChildProcess>(
        "/usr/bin/env",
        std::vector<std::string>{"python3", "-c",
                                 "import http.server as h\n"
                                 "class H(h.BaseHTTPRequestHandler):\n"
                                 "  def do_GET(s):\n"
                                 "    b=('<html><body><p id=ae>accept-encoding=' + "
                                 "s.headers.get('Accept-Encoding','none') + '</p></body></html>').encode()\n"
                                 "    s.send_response(200); s.send_header('Content-Type','text/html');"
                                 " s.send_header('Content-Length',str(len(b))); s.end_headers(); s.wfile.write(b)\n"
                                 "h.HTTPServer(('" + *address_ + "'," + std::to_string(origin_port_) +
                                     "),H).serve_forever()\n"},
        root_ / "origin.txt");
  }

  void TearDown() override {
    if (window_ && window_->running()) window_->Stop(SIGTERM);
    if (origin_process_) origin_process_->Stop(SIGTERM);
    test::ServicePairFixture::TearDown();
  }

  // The desktop of the test's own user, for both programs.
  std::string Environment() const {
    return "env HOME=" + home_.string() + " XDG_CONFIG_HOME=" + (home_ / ".config").string() +
           " XDG_CURRENT_DESKTOP=" + GetParam().name + " " + GetParam().environment +
           " XDG_RUNTIME_DIR=" + (root_ / "runtime").string() + " ";
  }

  fs::path home_;
  std::optional<fs::path> chromium_;
  std::optional<std::string> address_;
  int origin_port_ = 0;
  std::unique_ptr<test::ChildProcess> origin_process_;
  std::unique_ptr<test::ChildProcess> window_;
};

// The desktop's own values, as a fresh reader of its store sees them.
std::string UsersValues(const Desktop& desktop, const fs::path& file) {
  if (std::string(desktop.name) == "KDE") return test::ReadFileText(file);
  TIESettings mapped;
  DesktopValues own;
  auto gnome = GnomeProxySettings::Open(file, nullptr);
  if (gnome == nullptr || gnome->Read(mapped, own) != 0) return "<unreadable>";
  return EncodeDesktopCopies({{"GNOME", own}});
}

TEST_P(DesktopBrowser, ABrowserFollowingTheDesktopsSettingsGoesThroughTheClient) {
  const fs::path settings = home_ / GetParam().file;
  const std::string users_own = UsersValues(GetParam(), settings);
  const int http_port = test::FreeLoopbackPort();
  std::ofstream(root_ / "config" / "Korvan.ini", std::ios::binary)
      << "[Config]\r\nIDSE_Value=" << test::kDemoAccount << "\r\nPassEL_Text=" << test::kDemoPassword
      << "\r\nServerAddress=127.0.0.1\r\nServerPort=" << server_port_ << "\r\nLanguage=en.kvl\r\n"
      << "[ConnectionsWithKorvan]\r\nCount=1\r\n1=IE - \r\n"
      << "[Setup]\r\nSocketCount=1\r\n[Socket1]\r\nLPort=" << http_port << "\r\nProtocol=0\r\n";
  window_ = std::make_unique<test::ChildProcess>(
      "/bin/sh",
      std::vector<std::string>{"-c", "exec " + Environment() + "QT_QPA_PLATFORM=offscreen " +
                                         (test::BinDir() / "korvan").string() + " --config-dir " +
                                         (root_ / "config").string() + " --app-dir " + (root_ / "app").string()},
      root_ / "window.txt");
  ASSERT_TRUE(test::WaitForListener(http_port)) << window_->Output();
  // The start-up Save has switched the LAN item on.
  const std::string ours = std::string(GetParam().name) == "KDE" ? "httpProxy=http://localhost " : "port=";
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (test::ReadFileText(settings).find(ours + std::to_string(http_port)) == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  const std::string applied = test::ReadFileText(settings);
  ASSERT_NE(applied.find(ours + std::to_string(http_port)), std::string::npos) << applied << window_->Output();

  const std::string url = "http://" + *address_ + ":" + std::to_string(origin_port_) + "/page.html";
  const auto dom = test::RunCommand(Environment() + "timeout 60 " + chromium_->string() +
                                    " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
                                    " --disable-background-networking --disable-component-update --disable-sync"
                                    " --user-data-dir=" + (root_ / "chromium-profile").string() +
                                    " --dump-dom " + url + " 2>/dev/null");
  ASSERT_TRUE(dom.has_value());
  EXPECT_NE(dom->find("accept-encoding=identity"), std::string::npos)
      << "the page did not come through korvan-server:\n" << dom->substr(0, 2000) << "\n" << origin_process_->Output();

  ASSERT_EQ(window_->Stop(SIGTERM), 0) << window_->Output();
  EXPECT_EQ(UsersValues(GetParam(), settings), users_own) << "the user's settings are back";
}

INSTANTIATE_TEST_SUITE_P(Desktops, DesktopBrowser, ::testing::ValuesIn(kDesktops),
                         [](const ::testing::TestParamInfo<Desktop>& desktop) { return std::string(desktop.param.name); });

}  // namespace
}  // namespace korvan
