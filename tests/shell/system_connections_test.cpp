// The desktop proxy settings through the form: switching on keeps the
// user's copy, switching off puts it back, and a run that was killed with
// the program's settings still applied loses nothing of the user's.
#include <gtest/gtest.h>

#include "shell/korvan_form.h"
#include "tests/shell/shell_fakes.h"

namespace korvan {
namespace {

TIESettings Settings(int flags, std::string server, std::string bypass, std::string url = {}) {
  TIESettings s;
  s.flags = flags;
  s.proxy_server = std::move(server);
  s.bypass_list = std::move(bypass);
  s.auto_config_url = std::move(url);
  return s;
}

class SystemConnectionsTest : public ::testing::Test {
 protected:
  std::unique_ptr<KorvanForm> Start() {
    auto form = std::make_unique<KorvanForm>(shell.Services());
    form->Open(shell.LogFileHandle(), {});
    return form;
  }
  static constexpr const char* kLanChecked = "[ConnectionsWithKorvan]\r\nCount=1\r\n1=IE - \r\n";
  test::FakeShell shell;
};

TEST_F(SystemConnectionsTest, OnAndOffGiveTheUsersSettingsBackWithTheirCopies) {
  TIESettings user = Settings(5, "http=proxy.example:8080", "intranet;*.local", "http://wpad.example/proxy.pac");
  user.desktop_copies = "GNOME:mode='auto'";
  shell.proxy.settings[""] = user;
  shell.profile.bytes = kLanChecked;
  auto form = Start();
  EXPECT_EQ(shell.proxy.settings[""].proxy_server, "localhost:3128");
  EXPECT_EQ(shell.proxy.notifications, 1);
  form->WriteINI();
  const auto file = ProfileDocument::Parse(*shell.profile.bytes);
  EXPECT_EQ(file.Find("OldIEConnections", "0[2].psz"), "http=proxy.example:8080");
  EXPECT_EQ(file.Find("OldIEConnections", "0[4].psz"), "http://wpad.example/proxy.pac");
  EXPECT_EQ(file.Find("OldIEConnections", "0.Desktops"), "GNOME:mode='auto'");
  form->Close();
  EXPECT_EQ(shell.proxy.settings[""], user);
}

TEST_F(SystemConnectionsTest, AKilledRunsLeftoverSettingsGiveWayToTheCopyItWroteDown) {
  // The last run switched on, wrote the user's copy down and was killed:
  // the desktop still points at its port (any port: it may have changed).
  for (const std::string leftover : {"localhost:3128", "localhost:9999"}) {
    SCOPED_TRACE(leftover);
    shell.proxy.applied.clear();
    shell.proxy.settings[""] = Settings(3, leftover, "127.0.0.1;localhost;<local>");
    shell.profile.bytes = std::string(kLanChecked) +
                          "[OldIEConnections]\r\nCount=1\r\n0.Connection=\r\n0[2].psz=proxy.example:8080\r\n"
                          "0[3].psz=intranet\r\n0[1].dw=3\r\n0[4].psz=\r\n0.Desktops=KDE:ProxyType=1\r\n";
    auto form = Start();
    form->WriteINI();
    // The copy written down again is still the user's, not the leftover.
    EXPECT_EQ(ProfileDocument::Parse(*shell.profile.bytes).Find("OldIEConnections", "0[2].psz"),
              "proxy.example:8080");
    form->Close();
    TIESettings expected = Settings(3, "proxy.example:8080", "intranet");
    expected.desktop_copies = "KDE:ProxyType=1";
    EXPECT_EQ(shell.proxy.settings[""], expected);
  }
}

TEST_F(SystemConnectionsTest, LeftoverSettingsWithoutAUserCopyAreClearedAtTheEnd) {
  shell.proxy.settings[""] = Settings(3, "localhost:4000", "127.0.0.1;localhost;<local>");
  // A copy that is itself the program's is no copy of the user's.
  shell.profile.bytes = std::string(kLanChecked) +
                        "[OldIEConnections]\r\nCount=1\r\n0.Connection=\r\n0[2].psz=localhost:3128\r\n"
                        "0[3].psz=127.0.0.1;localhost;<local>\r\n0[1].dw=3\r\n";
  auto form = Start();
  form->Close();
  EXPECT_EQ(shell.proxy.settings[""], Settings(0, "", ""));
}

TEST_F(SystemConnectionsTest, ProgramSettingsAreRecognisedOnAnyPortOnly) {
  EXPECT_TRUE(IsProgramProxySettings(ProgramProxySettings("", 3128)));
  EXPECT_TRUE(IsProgramProxySettings(Settings(3, "localhost:1", "127.0.0.1;localhost;<local>")));
  EXPECT_FALSE(IsProgramProxySettings(Settings(1, "localhost:3128", "127.0.0.1;localhost;<local>")));
  EXPECT_FALSE(IsProgramProxySettings(Settings(3, "localhost:3128", "127.0.0.1;localhost")));
  EXPECT_FALSE(IsProgramProxySettings(Settings(3, "localhost:", "127.0.0.1;localhost;<local>")));
  EXPECT_FALSE(IsProgramProxySettings(Settings(3, "localhost:31x8", "127.0.0.1;localhost;<local>")));
  EXPECT_FALSE(IsProgramProxySettings(Settings(3, "proxy:3128", "127.0.0.1;localhost;<local>")));
}

}  // namespace
}  // namespace korvan
