// The proxy server text, the kept copies and KDE's file format: what the
// desktops hold must survive the trip through the shell's fields.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "platform/desktop_proxy_backend.h"
#include "platform/desktop_proxy_store.h"
#include "platform/kconfig_file.h"
#include "platform/proxy_server_text.h"

namespace korvan {
namespace {

TEST(ProxyServerText, HostsSurviveFormattingAndParsing) {
  const ProxyHostPort a{"proxy.example", 8080};
  const ProxyHostPort b{"socks.example", 1080};
  const std::vector<ProxyHosts> cases = {
      {},                                      // nothing at all
      {a, a, a, {}},                           // one proxy for all: "host:port"
      {a, {}, {}, {}},                         // HTTP only
      {a, a, a, b},                            // with SOCKS the list is spelled out
      {{"", 3128}, {}, {}, {}},                // a port kept without its host
      {{"::1", 8080}, {"10.0.0.1", 0}, {}, {}},  // IPv6, and a host without port
  };
  for (const auto& hosts : cases) {
    const std::string text = FormatProxyServer(hosts);
    EXPECT_EQ(ParseProxyServer(text), hosts) << text;
  }
  EXPECT_EQ(FormatProxyServer({a, a, a, {}}), "proxy.example:8080");
  EXPECT_EQ(FormatProxyServer({a, {}, {}, b}), "http=proxy.example:8080;socks=socks.example:1080");
  // What the program applies reaches HTTP, HTTPS and FTP, not SOCKS.
  EXPECT_EQ(ParseProxyServer("localhost:3128"), (ProxyHosts{{"localhost", 3128}, {"localhost", 3128},
                                                            {"localhost", 3128}, {}}));
  EXPECT_EQ(SplitList(" a; ;b ;", ';'), (std::vector<std::string>{"a", "b"}));
}

TEST(DesktopCopies, EveryByteSurvivesAndDamageLosesOnlyTheDamagedPart) {
  const std::vector<std::pair<std::string, DesktopValues>> copies = {
      {"GNOME", {{"mode", "'manual'"}, {"ignore-hosts", "['a;b', 'c,d', 'e=f', '%', 'ž\n']"}}},
      {"KDE", {}},
      {"KDE2", {{"Proxy Config Script", "http://x/p.pac?a=1&b=2"}}}};
  const std::string text = EncodeDesktopCopies(copies);
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(DecodeDesktopCopies(text), copies);
  EXPECT_TRUE(DecodeDesktopCopies("").empty());
  const auto damaged = DecodeDesktopCopies("nonsense;KDE:ProxyType=1,=x,broken;:y=1;GNOME:mode=%2");
  ASSERT_EQ(damaged.size(), 2u);
  EXPECT_EQ(damaged[0], (std::pair<std::string, DesktopValues>{"KDE", {{"ProxyType", "1"}}}));
  EXPECT_EQ(damaged[1], (std::pair<std::string, DesktopValues>{"GNOME", {{"mode", "%2"}}}));
}

TEST(DesktopsNamed, ReadsXdgCurrentDesktopLikeTheDesktopsWriteIt) {
  using K = DesktopKind;
  EXPECT_EQ(DesktopsNamed("ubuntu:GNOME"), (std::vector<K>{K::kGnome}));
  EXPECT_EQ(DesktopsNamed("KDE"), (std::vector<K>{K::kKde}));
  EXPECT_EQ(DesktopsNamed("X-Cinnamon"), (std::vector<K>{K::kGnome}));
  EXPECT_EQ(DesktopsNamed("kde:Unity:GNOME"), (std::vector<K>{K::kKde, K::kGnome}));
  EXPECT_TRUE(DesktopsNamed("XFCE").empty());
  EXPECT_TRUE(DesktopsNamed("").empty());
  EXPECT_TRUE(DesktopsNamed("::").empty());
}

TEST(KConfigFile, ChangesOneGroupsKeysAndLeavesEveryOtherLine) {
  const std::string path = testing::TempDir() + "/kconfig-" + std::to_string(::getpid());
  {
    std::string error;
    auto none = KConfigFile::Load(path + "-missing", &error);
    ASSERT_TRUE(none.has_value()) << error;
    none->Set("Proxy Settings", "ProxyType", "1");
    EXPECT_EQ(none->Text(), "[Proxy Settings]\nProxyType=1\n");
  }
  KConfigFile file = *KConfigFile::Load(path + "-missing", nullptr);
  std::ofstream(path) << "# note\n[General]\nProxyType=9\n\n[Proxy Settings]\nProxyType = 0\nhttpProxy[$e]=x\n"
                         "ProxyType=7\n\n[Other]\nkey=v\n";
  file = *KConfigFile::Load(path, nullptr);
  EXPECT_EQ(file.Get("Proxy Settings", "ProxyType"), "0");
  EXPECT_EQ(file.Get("General", "ProxyType"), "9");
  file.Set("Proxy Settings", "ProxyType", "1");
  file.Set("Proxy Settings", "NoProxyFor", "a,b");
  file.Remove("Proxy Settings", "httpProxy");
  file.Set("New", "k", "v");
  EXPECT_EQ(file.Text(),
            "# note\n[General]\nProxyType=9\n\n[Proxy Settings]\nProxyType=1\nNoProxyFor=a,b\n\n[Other]\nkey=v\n"
            "\n[New]\nk=v\n");
  ASSERT_TRUE(file.Save(path, nullptr));
  EXPECT_EQ(KConfigFile::Load(path, nullptr)->Text(), file.Text());
  std::string error;
  EXPECT_FALSE(file.Save(path + "/below-a-file", &error));
  EXPECT_FALSE(error.empty());
  for (const std::string text : {" lead", "trail ", "back\\slash", "two\nlines", "tab\tin"}) {
    EXPECT_EQ(KConfigFile::Unescape(KConfigFile::Escape(text)), text);
  }
  std::remove(path.c_str());
}

}  // namespace
}  // namespace korvan
