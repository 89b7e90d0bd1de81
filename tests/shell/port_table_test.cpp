#include <gtest/gtest.h>

#include "shell/korvan_form.h"
#include "tests/shell/shell_fakes.h"

namespace korvan {
namespace {

class PortTableTest : public ::testing::Test {
 protected:
  PortTableTest() { form.Open(shell.LogFileHandle(), {}); }

  // Fills the dialog like a user and presses OK; the dialog stays open (and
  // the run reports cancel) when OK is refused.
  KorvanForm::PortDialogRunner Dialog(int port, int protocol, std::string host = {}, int cport = 0,
                                      int timeout = 0) {
    return [=, this](PortSetupDialog& dialog) {
      dialog.ProtocolCB.select(protocol);
      dialog.ProtocolCBChange();
      dialog.LPortSE.set_value(port);
      if (!host.empty()) dialog.HostEL.text = host;
      if (cport != 0) dialog.CPortSE.set_value(cport);
      dialog.TimeoutS.set_value(timeout);
      refusal = dialog.btnOKClick(form.ports());
      return !refusal.has_value();
    };
  }
  const test::FakeListener& ListenerOf(std::size_t entry) {
    return static_cast<const test::FakeListener&>(*form.ports().entries()[entry].listener);
  }

  test::FakeShell shell;
  KorvanForm form{shell.Services()};
  std::optional<std::string> refusal;
};

TEST_F(PortTableTest, MailRelayMappingBecomesAnSmtpRow) {
  ASSERT_TRUE(form.btnAppendClick(Dialog(2525, 1, std::string(kMailRelayAddress), 25)));
  const PortRow& row = form.ports().rows()[0];
  EXPECT_EQ(row.Protocol, 3);
  EXPECT_EQ(row.Host, "SMTP server");
  EXPECT_EQ(row.CPort, 0);
  EXPECT_EQ(form.ports().entries()[0].protocol, 3);
  // Any other host or port stays a mapping.
  ASSERT_TRUE(form.btnAppendClick(Dialog(2526, 1, std::string(kMailRelayAddress), 26)));
  EXPECT_EQ(form.ports().rows()[1].Protocol, 1);
}

TEST_F(PortTableTest, DialogRefusesAPortOfAnotherRowButNotTheRowsOwn) {
  ASSERT_TRUE(form.btnAppendClick(Dialog(3128, 0)));
  ASSERT_TRUE(form.btnAppendClick(Dialog(1080, 2)));
  EXPECT_FALSE(form.btnAppendClick(Dialog(3128, 2)));
  EXPECT_EQ(refusal, "Port 3128 je ji\x9E pou\x9E\xEDv\xE1n.");
  EXPECT_EQ(form.ports().rows().size(), 2u);
  EXPECT_TRUE(form.btnEditClick(0, Dialog(3128, 0, {}, 0, 5)));
  EXPECT_EQ(form.ports().rows()[0].TimeOut, 5);
  EXPECT_FALSE(form.btnEditClick(0, Dialog(1080, 0)));
}

TEST_F(PortTableTest, DialogValuesAndColumnTexts) {
  ASSERT_TRUE(form.btnAppendClick(Dialog(1080, 2, {}, 0, 10)));
  const PortRow socks = form.ports().rows()[0];
  EXPECT_EQ(socks.CPort, 1);  // hidden remote port is forced into its range
  EXPECT_EQ(socks.Host, "SOCKS 4 server");
  EXPECT_EQ(CPortText(socks), "?");
  EXPECT_EQ(TimeOutText(socks), "1000");
  EXPECT_EQ(ProtocolText(socks.Protocol), "SOCKS 4");

  const std::string long_host(45, 'a');
  ASSERT_TRUE(form.btnAppendClick(Dialog(8000, 1, long_host, 80)));
  const PortRow mapping = form.ports().rows()[1];
  EXPECT_EQ(mapping.Host, long_host.substr(0, 30));
  EXPECT_EQ(CPortText(mapping), "80");
  EXPECT_EQ(form.ports().entries()[1].remote_host, long_host.substr(0, 30));

  PortSetupDialog dialog;
  dialog.ProtocolCB.select(1);
  dialog.ProtocolCBChange();
  EXPECT_TRUE(dialog.HostEL.visible);
  EXPECT_EQ(dialog.HostEL.text, kDefaultMappingHost);
  dialog.ProtocolCB.select(0);
  dialog.ProtocolCBChange();
  EXPECT_FALSE(dialog.HostEL.visible);
  EXPECT_FALSE(dialog.CPortSE.visible);
  EXPECT_FALSE(dialog.host_label_visible);
}

TEST_F(PortTableTest, DeletedEntriesAreReusedAndTheArrayNeverShrinks) {
  ASSERT_TRUE(form.btnAppendClick(Dialog(3128, 0)));
  ASSERT_TRUE(form.btnAppendClick(Dialog(1080, 2)));
  ASSERT_TRUE(form.btnAppendClick(Dialog(2525, 3)));
  ASSERT_TRUE(form.btnDeleteClick(1));
  EXPECT_EQ(form.ports().entries().size(), 3u);
  EXPECT_EQ(form.ports().entries()[1].local_port, -1);
  EXPECT_EQ(form.ports().entries()[1].listener, nullptr);

  ASSERT_TRUE(form.btnAppendClick(Dialog(1081, 2)));
  EXPECT_EQ(form.ports().entries().size(), 3u);
  EXPECT_EQ(form.ports().entries()[1].local_port, 1081);
  EXPECT_EQ(ListenerOf(1).entry(), 1u);
  ASSERT_TRUE(form.btnAppendClick(Dialog(1082, 2)));
  EXPECT_EQ(form.ports().entries().size(), 4u);
  EXPECT_EQ(ListenerOf(3).entry(), 3u);
  const auto copy = form.ports().CopyEntry(3);
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->local_port, 1082);
  EXPECT_EQ(form.ports().CopyEntry(4), std::nullopt);
}

TEST_F(PortTableTest, EditingRewritesTheRowsOwnEntryAfterClosingItsConnections) {
  ASSERT_TRUE(form.btnAppendClick(Dialog(3128, 0)));
  ASSERT_TRUE(form.btnAppendClick(Dialog(1080, 2)));
  auto& listener = const_cast<test::FakeListener&>(ListenerOf(1));
  listener.open_connections = 3;
  const int pumps = shell.pump.runs;
  ASSERT_TRUE(form.btnEditClick(1, Dialog(1090, 2)));
  EXPECT_EQ(listener.open_connections, 0u);
  EXPECT_EQ(shell.pump.runs - pumps, 3);  // messages run after each close
  EXPECT_EQ(form.ports().entries()[1].local_port, 1090);
  EXPECT_EQ(listener.port(), 1090);
  EXPECT_TRUE(listener.active());
  EXPECT_EQ(form.ports().entries().size(), 2u);
}

TEST_F(PortTableTest, DeleteAsksFirstAndKeepsTheRowOnNo) {
  ASSERT_TRUE(form.btnAppendClick(Dialog(1080, 2)));
  shell.prompts.answer = false;
  EXPECT_FALSE(form.btnDeleteClick(0));
  ASSERT_EQ(shell.prompts.questions.size(), 1u);
  EXPECT_EQ(shell.prompts.questions[0].first, "Dotaz");
  EXPECT_EQ(shell.prompts.questions[0].second, "Opravdu si p\xF8" "ejete odebrat protokol SOCKS 4 na portu 1080?");
  EXPECT_EQ(form.ports().rows().size(), 1u);
  EXPECT_TRUE(form.ports().RowActionsEnabled());
}

TEST_F(PortTableTest, APortThatCannotBeOpenedIsReportedOncePerStoreAndTheRowStays) {
  shell.listeners.state.taken = {8080};
  ASSERT_TRUE(form.btnAppendClick(Dialog(8080, 0)));
  EXPECT_EQ(form.ports().rows().size(), 1u);
  EXPECT_TRUE(form.alarm());
  ASSERT_EQ(shell.prompts.errors.size(), 1u);
  EXPECT_EQ(shell.prompts.errors[0], "Nepoda\xF8ilo se otev\xF8\xEDt port 8080.");
  EXPECT_NE(form.log().memo().find(shell.prompts.errors[0]), std::string::npos);

  // Once freed, resetting the ports opens it.
  shell.listeners.state.taken.clear();
  form.ResetConnClick();
  EXPECT_TRUE(ListenerOf(0).active());
  EXPECT_EQ(shell.prompts.errors.size(), 1u);
}

TEST_F(PortTableTest, UpdaterPortIsTheFirstHttpRowAsRead) {
  test::FakeShell other;
  other.profile.bytes =
      "[Setup]\nSocketCount=3\n[Socket1]\nLPort=1080\nProtocol=2\n[Socket2]\nLPort=8081\nProtocol=0\n"
      "[Socket3]\nLPort=8082\nProtocol=0\n";
  KorvanForm read(other.Services());
  read.Open(other.LogFileHandle(), {});
  EXPECT_EQ(read.UpdaterPort(), 8081);
  EXPECT_EQ(read.ports().entries()[1].timeout, 10);
  EXPECT_EQ(form.UpdaterPort(), 3128);
}

}  // namespace
}  // namespace korvan
