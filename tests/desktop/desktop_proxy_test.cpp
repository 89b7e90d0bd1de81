// The desktops' proxy settings as a user has them: GNOME's in a GSettings
// key file, KDE's in a kioslaverc, each in a scratch home. Switching on
// applies the program's settings; switching off gives the user's back
// exactly, also for both desktops at once and after a killed run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "platform/desktop_proxy_store.h"
#include "platform/gnome_proxy_settings.h"
#include "platform/kde_proxy_settings.h"
#include "shell/korvan_form.h"
#include "shell/system_connections.h"
#include "tests/shell/shell_fakes.h"
#include "tests/support/test_paths.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;

}  // namespace

// Readable failures: gtest finds this beside the type.
void PrintTo(const TIESettings& s, std::ostream* os);
void PrintTo(const TIESettings& s, std::ostream* os) {
  *os << "{\"" << s.connection_name << "\", " << s.flags << ", \"" << s.proxy_server << "\", \"" << s.bypass_list
      << "\", \"" << s.auto_config_url << "\", \"" << s.desktop_copies << "\"}";
}

namespace {

class DesktopProxyTest : public ::testing::Test {
 protected:
  DesktopProxyTest() {
    home_ = fs::temp_directory_path() / ("korvan-desktop-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(home_);
    fs::create_directories(home_ / ".config");
  }
  ~DesktopProxyTest() override { fs::remove_all(home_); }

  fs::path keyfile() const { return home_ / ".config" / "glib-2.0" / "settings" / "keyfile"; }
  fs::path kioslaverc() const { return home_ / ".config" / "kioslaverc"; }

  std::unique_ptr<DesktopProxyStore> Store(const std::string& desktops) {
    DesktopEnvironment environment;
    environment.xdg_current_desktop = desktops;
    environment.config_home = home_ / ".config";
    environment.gsettings_keyfile = keyfile();
    environment.notify_session_bus = false;
    return MakeDesktopProxyStore(environment);
  }

  void WriteKeyfile(const std::string& text) {
    fs::create_directories(keyfile().parent_path());
    std::ofstream(keyfile()) << text;
  }

  // The desktop's own values as a fresh reader sees them.
  static DesktopValues GnomeValues(const fs::path& file) {
    TIESettings mapped;
    DesktopValues own;
    auto gnome = GnomeProxySettings::Open(file, nullptr);
    EXPECT_EQ(gnome->Read(mapped, own), 0);
    return own;
  }

  // Switches the LAN item on and off the way the form does.
  static void OnAndOff(SystemProxyStore& store, SystemConnections& list, const TIESettings& expected_ours) {
    ASSERT_EQ(list.SetConnection("IE - ", true, 3128, store), 0);
    store.NotifyChanged();
    TIESettings now;
    ASSERT_EQ(store.Query(now), 0);
    now.desktop_copies.clear();
    EXPECT_EQ(now, expected_ours);
    ASSERT_EQ(list.SetConnection("IE - ", false, 3128, store), 0);
    store.NotifyChanged();
  }

  // Without the kept copies (an older Korvan.ini) the shell's fields alone
  // must give the same settings back.
  static void ExpectMappingRoundTrip(SystemProxyStore& store) {
    TIESettings before;
    ASSERT_EQ(store.Query(before), 0);
    TIESettings fields_only = before;
    fields_only.desktop_copies.clear();
    ASSERT_EQ(store.Apply(fields_only), 0);
    TIESettings after;
    ASSERT_EQ(store.Query(after), 0);
    after.desktop_copies.clear();
    EXPECT_EQ(after, fields_only);
  }

  fs::path home_;
};

bool GnomeSchemaInstalled() {
  std::string why;
  return GnomeProxySettings::Open(std::nullopt, &why) != nullptr || why.find("not installed") == std::string::npos;
}

TEST_F(DesktopProxyTest, GnomeUsersOwnSettingsComeBackExactly) {
  if (!GnomeSchemaInstalled()) GTEST_SKIP() << "the GSettings schema org.gnome.system.proxy is not installed";
  struct Case {
    const char* what;
    const char* keyfile;
    TIESettings mapped;
  };
  const Case cases[] = {
      {"a manual proxy with its own ignore list",
       "[system/proxy]\nmode='manual'\nignore-hosts=['intranet', '*.corp.example']\n"
       "[system/proxy/http]\nhost='proxy.example'\nport=8080\n[system/proxy/https]\nhost='proxy.example'\nport=8443\n",
       {"", 3, "http=proxy.example:8080;https=proxy.example:8443", "intranet;*.corp.example", "", ""}},
      {"nothing set at all (\"none\")", "", {"", 1, "http=:8080", "localhost;127.0.0.0/8;::1", "", ""}},
      {"auto with a PAC address",
       "[system/proxy]\nmode='auto'\nautoconfig-url='http://wpad.example/proxy.pac'\n",
       {"", 5, "http=:8080", "localhost;127.0.0.0/8;::1", "http://wpad.example/proxy.pac", ""}},
  };
  const TIESettings ours{"", 3, "localhost:3128", "127.0.0.1;localhost;<local>", "", ""};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(keyfile().parent_path());
    if (*c.keyfile != '\0') WriteKeyfile(c.keyfile);
    const DesktopValues before = GnomeValues(keyfile());

    auto store = Store("ubuntu:GNOME");
    SystemConnections list;
    list.Build("LAN", {}, *store);
    ASSERT_EQ(list.saved.size(), 1u);
    TIESettings mapped = list.saved[0];
    EXPECT_NE(mapped.desktop_copies, "");
    mapped.desktop_copies.clear();
    EXPECT_EQ(mapped, c.mapped);

    OnAndOff(*store, list, ours);
    EXPECT_EQ(GnomeValues(keyfile()), before) << "keys the user never set stay unset";
    ExpectMappingRoundTrip(*store);
  }
}

TEST_F(DesktopProxyTest, KdeUsersOwnSettingsComeBackExactly) {
  struct Case {
    const char* what;
    const char* file;  // null: no kioslaverc at all
    TIESettings mapped;
  };
  const Case cases[] = {
      {"a manual proxy with its own ignore list",
       "[Notification Messages]\nWarnOnLeaveSSLMode=false\n\n[Proxy Settings]\nProxyType=1\n"
       "httpProxy=http://proxy.example 8080\nhttpsProxy=http://proxy.example 8080\nftpProxy=http://proxy.example 8080\n"
       "NoProxyFor=intranet,.corp.example\nReversedException=false\n",
       {"", 3, "proxy.example:8080", "intranet;.corp.example", "", ""}},
      {"no file at all (\"none\")", nullptr, {"", 1, "", "", "", ""}},
      {"a PAC address", "[Proxy Settings]\nProxyType=2\nProxy Config Script=http://wpad.example/proxy.pac\n",
       {"", 5, "", "", "http://wpad.example/proxy.pac", ""}},
  };
  const TIESettings ours{"", 3, "localhost:3128", "127.0.0.1;localhost;<local>", "", ""};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(kioslaverc());
    if (c.file != nullptr) std::ofstream(kioslaverc()) << c.file;
    auto store = Store("KDE");
    SystemConnections list;
    list.Build("LAN", {}, *store);
    ASSERT_EQ(list.saved.size(), 1u);
    TIESettings mapped = list.saved[0];
    mapped.desktop_copies.clear();
    EXPECT_EQ(mapped, c.mapped);

    ASSERT_EQ(list.SetConnection("IE - ", true, 3128, *store), 0);
    const std::string applied = test::ReadFileText(kioslaverc());
    EXPECT_NE(applied.find("ProxyType=1\n"), std::string::npos) << applied;
    EXPECT_NE(applied.find("httpProxy=http://localhost 3128\n"), std::string::npos) << applied;
    EXPECT_NE(applied.find("NoProxyFor=127.0.0.1,localhost,<local>\n"), std::string::npos) << applied;
    ASSERT_EQ(list.SetConnection("IE - ", false, 3128, *store), 0);
    if (c.file != nullptr) {
      EXPECT_EQ(test::ReadFileText(kioslaverc()), c.file);
    } else {
      EXPECT_EQ(test::ReadFileText(kioslaverc()), "[Proxy Settings]\n") << "no key of the group is left behind";
    }
    ExpectMappingRoundTrip(*store);
  }
}

TEST_F(DesktopProxyTest, BothDesktopsNamedAreAppliedAndEachGetsItsOwnBack) {
  if (!GnomeSchemaInstalled()) GTEST_SKIP() << "the GSettings schema org.gnome.system.proxy is not installed";
  WriteKeyfile("[system/proxy]\nmode='auto'\nautoconfig-url='http://wpad.example/gnome.pac'\n");
  const std::string kde = "[Proxy Settings]\nProxyType=1\nhttpProxy=http://kde-proxy.example 3129\n";
  std::ofstream(kioslaverc()) << kde;
  const DesktopValues gnome_before = GnomeValues(keyfile());

  auto store = Store("KDE:GNOME");
  EXPECT_NE(store->Description().find("GNOME"), std::string::npos);
  EXPECT_NE(store->Description().find("KDE"), std::string::npos);
  SystemConnections list;
  list.Build("LAN", {}, *store);
  ASSERT_EQ(list.saved.size(), 1u);
  EXPECT_EQ(list.saved[0].proxy_server, "http=kde-proxy.example:3129") << "the first desktop named speaks";
  ASSERT_EQ(list.SetConnection("IE - ", true, 3128, *store), 0);
  TIESettings gnome_now;
  DesktopValues ignored;
  ASSERT_EQ(GnomeProxySettings::Open(keyfile(), nullptr)->Read(gnome_now, ignored), 0);
  EXPECT_EQ(gnome_now.proxy_server, "localhost:3128");
  EXPECT_EQ(gnome_now.flags, 3);
  ASSERT_EQ(list.SetConnection("IE - ", false, 3128, *store), 0);
  EXPECT_EQ(test::ReadFileText(kioslaverc()), kde);
  EXPECT_EQ(GnomeValues(keyfile()), gnome_before);
}

TEST_F(DesktopProxyTest, WithoutAKnownDesktopTheQueryFailsAndTheLogSaysWhatWasFound) {
  auto store = Store("XFCE");
  TIESettings entry;
  EXPECT_NE(store->Query(entry), 0);
  EXPECT_NE(store->Apply(entry), 0);
  EXPECT_NE(store->Description().find("XDG_CURRENT_DESKTOP=\"XFCE\""), std::string::npos) << store->Description();
  TIESettings dial_up;
  dial_up.connection_name = "Dial A";
  EXPECT_NE(Store("KDE")->Query(dial_up), 0) << "there are no dial-up entries";
}

// The form over the real store: the start-up Save switches the LAN item
// on, a killed run is mended, a store that cannot write says so in the log.
class DesktopProxyFormTest : public DesktopProxyTest {
 protected:
  std::unique_ptr<KorvanForm> Start(SystemProxyStore& store) {
    ShellServices services{shell.profile, shell.listeners, shell.pump,   shell.clock,         store,
                           shell.autostart, shell.prompts, shell.texts, LocaleFormat{}, 7};
    auto form = std::make_unique<KorvanForm>(services);
    form->Open(shell.LogFileHandle(), {});
    return form;
  }
  test::FakeShell shell;
};

TEST_F(DesktopProxyFormTest, AKilledRunsLeftoverIsMendedFromTheCopyItWroteDown) {
  const std::string user = "[Proxy Settings]\nProxyType=1\nhttpProxy=http://proxy.example 8080\n";
  std::ofstream(kioslaverc()) << user;
  shell.profile.bytes = "[ConnectionsWithKorvan]\r\nCount=1\r\n1=IE - \r\n";
  auto store = Store("KDE");
  {
    auto form = Start(*store);
    EXPECT_NE(shell.log_content.find("System proxy settings: KDE ("), std::string::npos) << shell.log_content;
    EXPECT_NE(test::ReadFileText(kioslaverc()).find("localhost 3128"), std::string::npos);
    form->WriteINI();
    // Killed here: no Close, the desktop still points at the program.
  }
  {
    auto form = Start(*store);
    form->Close();
  }
  EXPECT_EQ(test::ReadFileText(kioslaverc()), user) << *shell.profile.bytes << shell.log_content;
}

TEST_F(DesktopProxyFormTest, AStoreThatCannotWriteLogsTheError) {
  // A file where the configuration folder should be.
  fs::remove_all(home_ / ".config");
  std::ofstream(home_ / ".config") << "not a folder";
  shell.profile.bytes = "[ConnectionsWithKorvan]\r\nCount=1\r\n1=IE - \r\n";
  auto store = Store("KDE");
  auto form = Start(*store);
  EXPECT_NE(shell.log_content.find("InternetSetOption ("), std::string::npos) << shell.log_content;
  EXPECT_EQ(shell.log_content.find("InternetSetOption (0)"), std::string::npos);
  fs::remove(home_ / ".config");
  fs::create_directories(home_ / ".config");
}

}  // namespace
}  // namespace korvan
