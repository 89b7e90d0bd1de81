// Korvan.ini through the form: first start, the read / write cycle and the
// values derived from the settings.
#include <gtest/gtest.h>

#include "shell/korvan_form.h"
#include "tests/shell/shell_fakes.h"
#include "wire/opening.h"

namespace korvan {
namespace {

class ConfigurationTest : public ::testing::Test {
 protected:
  std::unique_ptr<KorvanForm> Start(bool service_mode = false) {
    auto form = std::make_unique<KorvanForm>(shell.Services());
    form->SetServiceMode(service_mode);
    form->Open(shell.LogFileHandle(), {"Dial A"});
    return form;
  }
  ProfileDocument File() const { return ProfileDocument::Parse(*shell.profile.bytes); }

  test::FakeShell shell;
};

TEST_F(ConfigurationTest, FirstStartWithoutAFileUsesDefaultsAndCommitsTheClampedUserId) {
  auto form = Start();
  EXPECT_EQ(form->communication.IDSE.value(), 100000000);
  EXPECT_EQ(form->working.user_id, 100000000);
  EXPECT_EQ(form->working.server_address, "127.0.0.1");
  EXPECT_EQ(form->working.server_port, 3893);
  EXPECT_EQ(form->working.accept_ip, "127.0.0.1");
  EXPECT_EQ(form->working.filter_word, 0);
  EXPECT_EQ(form->working.picture_compression, 0xF7);
  EXPECT_TRUE(form->settings.ListErrIP.checked);
  EXPECT_FALSE(form->edit_mode());
  EXPECT_EQ(form->working.login_block, MakeLoginBlock(100000000, "", 0, 7));
  EXPECT_TRUE(form->ports().rows().empty());
  EXPECT_EQ(form->UpdaterPort(), 3128);
  // Only ShutDownOK reached the file during start-up.
  EXPECT_EQ(File().Find("Config", "ShutDownOK"), "0");
  EXPECT_EQ(File().Find("Config", "IDSE_Value"), std::nullopt);

  ASSERT_TRUE(form->WriteINI());
  EXPECT_EQ(File().Find("Config", "IDSE_Value"), "100000000");
  EXPECT_EQ(File().Find("Config", "ShutDownOK"), "1");  // the value read, kept
}

TEST_F(ConfigurationTest, ReadWriteCycleKeepsEveryKeyAndThePortTable) {
  shell.profile.bytes =
      "; the user's note\r\n"
      "[Config]\r\nShutDownOK=0\r\nIDSE_Value=123456789\r\nServer=0\r\nPassEL_Text= secret \r\n"
      "AcceptIP=127.0.0.1;192.168.1.2\r\nJPEGCompress=3\r\nGIFCompress=4\r\n_HTMLOptimization=1\r\n"
      "IGNAppFlash=1\r\nIGN88x31=1\r\nListConnectErr=1\r\nListErrIP=0\r\nUseParentProxy=1\r\n"
      "ParentProxyIP=10.1.1.1\r\nParentProxyPort=8080\r\nParentProxyUser=u\r\nParentProxyPass=p\r\n"
      "ServerAddress=compress.example\r\nServerPort=4000\r\nUpdateHost=updates.example:81\r\nFutureKey=stays\r\n"
      "[ConnectionsWithKorvan]\r\nCount=1\r\n1=IE - Dial A\r\n"
      "[Setup]\r\nActiveTab=2\r\nSocketCount=2\r\n"
      "[Socket1]\r\nLPort=8080\r\nProtocol=0\r\nHost=HTTP server\r\nCPort=1\r\n"
      "[Socket2]\r\nLPort=2525\r\nProtocol=1\r\nHost=mail.example\r\nCPort=25\r\nTimeout=3\r\n"
      "[Unknown]\r\nx=y\r\n";
  auto form = Start();
  EXPECT_EQ(form->working.user_id, 123456789);
  EXPECT_EQ(form->working.password, "secret");
  EXPECT_EQ(form->working.server_address, "compress.example");
  EXPECT_EQ(form->working.server_port, 4000);
  EXPECT_EQ(form->working.filter_word, kFilterOptimizeHtml | kFilterBlockFlash | kFilter88x31);
  EXPECT_EQ(form->working.picture_compression, 0x43);
  EXPECT_EQ(form->active_page(), 2);
  ASSERT_EQ(form->ports().rows().size(), 2u);
  EXPECT_EQ(form->ports().rows()[0].TimeOut, 10);  // HTTP default
  EXPECT_EQ(form->UpdaterPort(), 8080);
  EXPECT_EQ(form->UpdateHost(), "updates.example:81");
  EXPECT_TRUE(form->communication.ConnectionsLB.items[1].checked);
  // The start-up Save switched the stored connection on.
  ASSERT_FALSE(shell.proxy.applied.empty());
  EXPECT_EQ(shell.proxy.applied.back().connection_name, "Dial A");
  EXPECT_EQ(shell.proxy.applied.back().proxy_server, "localhost:8080");

  ASSERT_TRUE(form->WriteINI());
  const auto file = File();
  EXPECT_EQ(file.Find("Config", "ShutDownOK"), "0");
  EXPECT_EQ(file.Find("Config", "IDSE_Value"), "123456789");
  EXPECT_EQ(file.Find("Config", "AcceptIP"), "127.0.0.1;192.168.1.2");
  EXPECT_EQ(file.Find("Config", "ParentProxyPort"), "8080");
  EXPECT_EQ(file.Find("Config", "ServerAddress"), "compress.example");
  EXPECT_EQ(file.Find("Config", "ServerPort"), "4000");
  EXPECT_EQ(file.Find("Config", "UpdateHost"), "updates.example:81");
  EXPECT_EQ(file.Find("Config", "FutureKey"), "stays");
  EXPECT_EQ(file.Find("Config", "IGN88x31"), "1");
  EXPECT_EQ(file.Find("Config", "IGN468x60"), "0");
  EXPECT_EQ(file.Find("ConnectionsWithKorvan", "1"), "IE - Dial A");
  EXPECT_EQ(file.Find("Unknown", "x"), "y");
  EXPECT_EQ(file.Find("Socket2", "Host"), "mail.example");
  EXPECT_EQ(file.Find("Socket2", "Timeout"), "3");
  EXPECT_EQ(file.Find("Socket1", "Timeout"), "10");
  EXPECT_EQ(shell.profile.bytes->substr(0, 19), "; the user's note\r\n");

  // A second program run reads back what the first one wrote.
  form->Close();
  test::FakeShell second;
  second.profile.bytes = shell.profile.bytes;
  KorvanForm again(second.Services());
  again.Open(second.LogFileHandle(), {"Dial A"});
  EXPECT_EQ(again.ports().rows(), form->ports().rows());
  EXPECT_EQ(again.working.filter_word, form->working.filter_word);
  EXPECT_EQ(again.working.password, form->working.password);
}

TEST_F(ConfigurationTest, PasswordsWithOuterBlanksSurviveTheFile) {
  auto form = Start();
  form->Button1Click(true);
  form->communication.PassEL.text = " pass word ";
  form->btnSaveClick();
  KorvanForm again(shell.Services());
  again.Open(shell.LogFileHandle(), {});
  EXPECT_EQ(again.working.password, " pass word ");
  EXPECT_EQ(again.working.login_block, MakeLoginBlock(100000000, " pass word ", 0, 7));
}

TEST_F(ConfigurationTest, SurplusSocketSectionsAreLeftAloneAndIgnored) {
  shell.profile.bytes =
      "[Setup]\nSocketCount=2\n[Socket1]\nLPort=3128\nProtocol=0\n[Socket2]\nLPort=1080\nProtocol=2\n";
  auto form = Start();
  ASSERT_EQ(form->ports().rows().size(), 2u);
  shell.prompts.answer = true;
  ASSERT_TRUE(form->btnDeleteClick(1));
  ASSERT_TRUE(form->WriteINI());
  EXPECT_EQ(File().Find("Setup", "SocketCount"), "1");
  EXPECT_EQ(File().Find("Socket2", "LPort"), "1080");  // still there
  KorvanForm again(shell.Services());
  again.Open(shell.LogFileHandle(), {});
  EXPECT_EQ(again.ports().rows().size(), 1u);
}

TEST_F(ConfigurationTest, FilterWordAndCompressionByteForAllOnAndAllOff) {
  auto form = Start();
  for (auto& box : form->settings.tagged) box.checked = true;
  form->settings.GIFCompress.set_value(15);
  form->settings.JPEGCompress.set_value(15);
  form->IGNAppFlashClick();
  EXPECT_EQ(form->working.filter_word, 0xFFFF);
  EXPECT_EQ(form->working.picture_compression, 0xFF);
  for (auto& box : form->settings.tagged) box.checked = false;
  form->settings.GIFCompress.set_value(0);
  form->settings.JPEGCompress.set_value(0);
  form->IGNAppFlashClick();
  EXPECT_EQ(form->working.filter_word, 0);
  EXPECT_EQ(form->working.picture_compression, 0);
  // Each box has its own bit.
  form->settings.Tagged("IGN240x400")->checked = true;
  form->IGNAppFlashClick();
  EXPECT_EQ(form->working.filter_word, kFilter240x400);
}

TEST_F(ConfigurationTest, EditModeCancelDiscardsButParentProxyEditsAreWrittenAtExit) {
  auto form = Start();
  form->Button1Click(true);
  EXPECT_TRUE(form->edit_mode());
  EXPECT_EQ(form->communication.Button1.text, shell.texts.Text(TextKey::btnCancel));
  EXPECT_FALSE(form->communication.ParentProxyE.enabled);
  form->communication.UseParentProxy.checked = true;
  form->UseParentProxyClick();
  EXPECT_TRUE(form->communication.ParentProxyE.enabled);
  form->communication.ParentProxyE.text = "proxy.example";
  form->communication.IDSE.set_value(5);  // clamped into range
  EXPECT_EQ(form->communication.IDSE.value(), 100000000);
  form->communication.IDSE.set_value(222222222);

  form->Close();  // leaves in edit mode
  const auto file = File();
  EXPECT_EQ(file.Find("Config", "ParentProxyIP"), "proxy.example");
  EXPECT_EQ(file.Find("Config", "UseParentProxy"), "1");
  EXPECT_EQ(file.Find("Config", "IDSE_Value"), "100000000");  // unsaved ID not stored

  form->Button1Click(true);  // cancel
  EXPECT_FALSE(form->edit_mode());
  EXPECT_EQ(form->communication.IDSE.value(), 100000000);
  EXPECT_FALSE(form->communication.UseParentProxy.checked);
  EXPECT_FALSE(form->communication.ParentProxyE.enabled);
}

TEST_F(ConfigurationTest, AStoredServerOtherThanZeroLeavesNoServerAddress) {
  shell.profile.bytes = "[Config]\nServer=3\n";
  auto form = Start();
  EXPECT_EQ(form->communication.ServerCB.index, -1);
  EXPECT_EQ(form->working.server_address, "");
  EXPECT_TRUE(form->WriteINI());
  EXPECT_EQ(File().Find("Config", "ServerAddress"), std::nullopt);  // not read, not written
  EXPECT_EQ(File().Find("Config", "UpdateHost"), std::nullopt);
  EXPECT_EQ(form->UpdateHost(), "update.korvan.example");
}

TEST_F(ConfigurationTest, AnUpdateHostThatWouldBreakTheRequestLineIsNotUsed) {
  for (const char* bad : {"two words", "host/path", "h\x01"}) {
    shell.profile.bytes = std::string("[Config]\r\nUpdateHost=") + bad + "\r\n";
    auto form = Start();
    EXPECT_EQ(form->UpdateHost(), "update.korvan.example") << bad;
    EXPECT_TRUE(form->WriteINI());
    EXPECT_EQ(File().Find("Config", "UpdateHost"), bad);  // kept as the user wrote it
  }
}

TEST_F(ConfigurationTest, MaxConnectionsIsWrittenBackOnlyWhenItWasRead) {
  {
    auto form = Start();
    EXPECT_EQ(form->MaxConnections(), kDefaultMaxConnections);
    ASSERT_TRUE(form->WriteINI());
    EXPECT_EQ(File().Find("Config", "MaxConnections"), std::nullopt);
  }
  for (const char* good : {"1", "3", "65535"}) {
    shell.profile.bytes = std::string("[Config]\r\nMaxConnections=") + good + "\r\nOther=x\r\n";
    // The core reads it ahead of the ports; both readings agree.
    auto form = std::make_unique<KorvanForm>(shell.Services());
    form->ReadMaxConnections();
    EXPECT_EQ(form->MaxConnections(), std::stoi(good)) << good;
    form->Open(shell.LogFileHandle(), {});
    EXPECT_EQ(form->MaxConnections(), std::stoi(good)) << good;
    ASSERT_TRUE(form->WriteINI());
    EXPECT_EQ(File().Find("Config", "MaxConnections"), good);
    EXPECT_EQ(File().Find("Config", "Other"), "x");
  }
}

TEST_F(ConfigurationTest, AMaxConnectionsOutsideOneTo65535IsNotUsedButKept) {
  for (const char* bad : {"0", "-4", "65536", "4294967299", "many", "12x", "1.5", ""}) {
    shell.profile.bytes = std::string("[Config]\r\nMaxConnections=") + bad + "\r\n";
    auto form = Start();
    EXPECT_EQ(form->MaxConnections(), kDefaultMaxConnections) << bad;
    ASSERT_TRUE(form->WriteINI());
    EXPECT_EQ(File().Find("Config", "MaxConnections"), bad);  // as the user wrote it
  }
}

TEST_F(ConfigurationTest, DamagedValuesFallBackToDefaultsWithoutLosingRows) {
  shell.profile.bytes =
      "[Config]\nIDSE_Value=lots\nJPEGCompress=99\nGIFCompress=x\n"
      "[Setup]\nSocketCount=2000000000\nActiveTab=17\n"
      "[Socket1]\nLPort=0\nProtocol=9\nHost=" + std::string(40, 'h') + "\n";
  auto form = Start();
  EXPECT_EQ(form->working.user_id, 100000000);
  EXPECT_EQ(form->settings.JPEGCompress.value(), 15);
  EXPECT_EQ(form->settings.GIFCompress.value(), 15);
  EXPECT_EQ(form->active_page(), 0);
  ASSERT_EQ(form->ports().rows().size(), 1u);  // sections that are not there make no rows
  EXPECT_EQ(form->ports().rows()[0].Protocol, 9);
  EXPECT_EQ(form->ports().rows()[0].Host.size(), 30u);
  EXPECT_EQ(shell.listeners.state.activations, 0);  // never opened
  EXPECT_NE(form->log().memo().find("port 0"), std::string::npos);
  ASSERT_TRUE(form->WriteINI());
  EXPECT_EQ(File().Find("Socket1", "Protocol"), "9");
}

TEST_F(ConfigurationTest, ServiceModeLeavesSystemConnectionsAlone) {
  shell.profile.bytes = "[ConnectionsWithKorvan]\nCount=1\n1=IE -\n";
  auto form = Start(/*service_mode=*/true);
  EXPECT_FALSE(form->communication.ConnectionsLB.items[0].checked);
  EXPECT_TRUE(shell.proxy.applied.empty());
  form->Close();
  EXPECT_TRUE(shell.proxy.applied.empty());
  EXPECT_EQ(File().Find("ConnectionsWithKorvan", "1"), "IE -");  // untouched
}

}  // namespace
}  // namespace korvan
