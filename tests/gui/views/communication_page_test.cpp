// The connection settings page over a started core: what edit mode unlocks,
// what Cancel throws away, what Save commits, and the settings page's
// filters going into the filter word at once.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTest>

#include "gui/views/main_window.h"
#include "tests/gui/views/view_fixture.h"

namespace korvan {
namespace {

using gui::TKorvanFM;

class CommunicationPageTest : public test::ViewFixture {};

// The controls edit mode governs, by object name.
const QStringList kLocked = {"IDSE", "PassEL", "ServerCB", "AcceptIPEL", "_btnSave", "ConnectionsLB", "_UseParentProxy"};
const QStringList kParentProxy = {"ParentProxyE", "ParentPortSE", "PPUserE", "PPPassE"};

TEST_F(CommunicationPageTest, EditModeUnlocksExactlyTheConnectionSettings) {
  ClientCore& core = StartCore();
  TKorvanFM window(core);
  window.show();
  auto* edit = Find<QPushButton>(window, "Button1");
  ASSERT_NE(edit, nullptr);

  const auto enabled = [&](const QString& name) { return Find<QWidget>(window, name)->isEnabled(); };
  for (const QString& name : kLocked + kParentProxy) EXPECT_FALSE(enabled(name)) << name.toStdString();
  EXPECT_TRUE(enabled("Button1"));
  EXPECT_TRUE(enabled("_ResetConn")) << "resetting the ports needs no edit mode";
  EXPECT_EQ(edit->text(), QString::fromUtf8("&Editovat"));

  QTest::mouseClick(edit, Qt::LeftButton);
  for (const QString& name : kLocked) EXPECT_TRUE(enabled(name)) << name.toStdString();
  for (const QString& name : kParentProxy) EXPECT_FALSE(enabled(name)) << "parent proxy is off: " << name.toStdString();
  EXPECT_EQ(edit->text(), QString::fromUtf8("&Storno"));

  Find<QCheckBox>(window, "_UseParentProxy")->click();
  for (const QString& name : kParentProxy) EXPECT_TRUE(enabled(name)) << name.toStdString();

  // Cancel throws the edits away and locks everything again.
  auto* password = Find<QLineEdit>(window, "PassEL");
  password->setFocus();
  QTest::keyClicks(password, "typed");
  EXPECT_EQ(core.form().communication.PassEL.text, "typed");
  QTest::mouseClick(edit, Qt::LeftButton);
  EXPECT_EQ(password->text(), QString());
  EXPECT_FALSE(Find<QCheckBox>(window, "_UseParentProxy")->isChecked());
  for (const QString& name : kLocked + kParentProxy) EXPECT_FALSE(enabled(name)) << name.toStdString();
}

TEST_F(CommunicationPageTest, SaveCommitsTheFieldsAndTheFiltersGoIntoTheFilterWordAtOnce) {
  ClientCore& core = StartCore();
  TKorvanFM window(core);
  window.show();
  QTest::mouseClick(Find<QPushButton>(window, "Button1"), Qt::LeftButton);

  Find<QSpinBox>(window, "IDSE")->setValue(123456789);
  auto* password = Find<QLineEdit>(window, "PassEL");
  password->setFocus();
  QTest::keyClicks(password, "tajn");
  QTest::sendKeyEvent(QTest::Click, password, Qt::Key_unknown, QString::fromUtf8("é"), Qt::NoModifier);
  auto* accept = Find<QLineEdit>(window, "AcceptIPEL");
  accept->selectAll();
  accept->setFocus();
  QTest::keyClicks(accept, "127.0.0.1,10.1.1.2");
  Find<QCheckBox>(window, "_UseParentProxy")->click();
  auto* proxy = Find<QLineEdit>(window, "ParentProxyE");
  proxy->setFocus();
  QTest::keyClicks(proxy, "squid.lan");
  Find<QSpinBox>(window, "ParentPortSE")->setValue(8080);
  auto* lan = Find<QListWidget>(window, "ConnectionsLB");
  ASSERT_GE(lan->count(), 1);
  lan->item(0)->setCheckState(Qt::Checked);

  EXPECT_EQ(core.form().working.user_id, 100000000) << "nothing is committed before Save";
  QTest::mouseClick(Find<QPushButton>(window, "_btnSave"), Qt::LeftButton);

  const WorkingSettings& working = core.form().working;
  EXPECT_EQ(working.user_id, 123456789);
  EXPECT_EQ(working.password, "tajn\xE9") << "kept as code-page-1250 bytes";
  EXPECT_EQ(working.accept_ip, "127.0.0.1,10.1.1.2");
  EXPECT_TRUE(working.use_parent_proxy);
  EXPECT_EQ(working.parent_proxy_address, "squid.lan");
  EXPECT_EQ(working.parent_proxy_port, 8080);
  EXPECT_FALSE(core.form().edit_mode()) << "Save leaves edit mode";
  EXPECT_FALSE(Find<QWidget>(window, "IDSE")->isEnabled());
  EXPECT_EQ(Find<QPushButton>(window, "Button1")->text(), QString::fromUtf8("&Editovat"));
  ASSERT_FALSE(platform_.proxy.applied.empty()) << "the checked LAN settings point at the local proxy";
  EXPECT_EQ(platform_.proxy.applied.back().flags, 3);
  const std::string ini = ConfigOnDisk();
  EXPECT_NE(ini.find("IDSE_Value=123456789"), std::string::npos) << ini;
  EXPECT_NE(ini.find("ParentProxyIP=squid.lan"), std::string::npos) << ini;

  // The settings page: each box and slider changes the filter word and the
  // compression byte at once, without Save.
  Find<QCheckBox>(window, "IGN468x60")->click();
  Find<QCheckBox>(window, "_HTMLOptimization")->click();
  Find<QCheckBox>(window, "IGNAppFlash")->click();
  EXPECT_EQ(working.filter_word, 0x0001 | 0x4000 | 0x8000);
  Find<QSlider>(window, "_GIFCompress")->setValue(3);
  Find<QSlider>(window, "_JPEGCompress")->setValue(15);
  EXPECT_EQ(working.picture_compression, 3 * 16 + 15);
  Find<QCheckBox>(window, "IGNAppFlash")->click();
  EXPECT_EQ(working.filter_word, 0x0001 | 0x4000);
  Find<QCheckBox>(window, "_ListConnectErr")->click();
  EXPECT_TRUE(core.form().settings.ListConnectErr.checked);
  Find<QCheckBox>(window, "_Autostart")->click();
  EXPECT_TRUE(core.form().settings.Autostart.checked);
  core.form().WriteINI();
  EXPECT_TRUE(platform_.autostart.enabled);
  EXPECT_NE(ConfigOnDisk().find("IGN468x60=1"), std::string::npos);
}

TEST_F(CommunicationPageTest, InServiceModeTheSystemConnectionsGiveWayToTheNotice) {
  ClientCore& core = StartCore(/*service_mode=*/true);
  TKorvanFM window(core);
  window.show();
  EXPECT_FALSE(Find<QWidget>(window, "ConnectionsLB")->isVisible());
  auto* notice = Find<QLabel>(window, "_KORVANService");
  EXPECT_TRUE(notice->isVisible());
  EXPECT_EQ(notice->text(), QString::fromUtf8("KORVAN je spuštěna jako služba, použijte ruční nastavení."));
}

TEST_F(CommunicationPageTest, TheWindowShowsWhatTheConfigurationHolds) {
  WriteConfig(
      "[Config]\r\nIDSE_Value=555444333\r\nAcceptIP=192.168.1.0/24\r\nJPEGCompress=4\r\nGIFCompress=9\r\n"
      "IGN88x31=1\r\nUseParentProxy=1\r\nParentProxyIP=gw\r\nParentProxyPort=3129\r\n"
      "[Setup]\r\nActiveTab=2\r\nSocketCount=1\r\n[Socket1]\r\nLPort=3128\r\nProtocol=0\r\n");
  ClientCore& core = StartCore();
  TKorvanFM window(core);
  EXPECT_EQ(Find<QSpinBox>(window, "IDSE")->value(), 555444333);
  EXPECT_EQ(Find<QLineEdit>(window, "AcceptIPEL")->text(), "192.168.1.0/24");
  EXPECT_EQ(Find<QSlider>(window, "_JPEGCompress")->value(), 4);
  EXPECT_EQ(Find<QSlider>(window, "_GIFCompress")->value(), 9);
  EXPECT_TRUE(Find<QCheckBox>(window, "IGN88x31")->isChecked());
  EXPECT_TRUE(Find<QCheckBox>(window, "_UseParentProxy")->isChecked());
  EXPECT_EQ(Find<QLineEdit>(window, "ParentProxyE")->text(), "gw");
  EXPECT_EQ(window.pages().currentIndex(), 2) << "the stored page is shown";

  // Page changes reach the model and the model's page is shown.
  window.ShowPage(4);
  EXPECT_EQ(core.form().active_page(), 4);
  core.form().PageControl1Change(1);
  EXPECT_EQ(window.pages().currentIndex(), 1);
}

TEST_F(CommunicationPageTest, ClosingTheWindowHidesItAndActivatingItStopsTheAlarm) {
  ClientCore& core = StartCore();
  TKorvanFM window(core);
  EXPECT_EQ(window.windowTitle(), "KORVAN");
  EXPECT_EQ(window.objectName(), "KorvanFM");
  window.show();
  window.close();
  EXPECT_FALSE(window.isVisible());
  EXPECT_TRUE(core.started()) << "closing the window never ends the program";

  window.SetCloseBehaviour(TKorvanFM::CloseBehaviour::kMinimise);
  window.show();
  window.close();
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(window.isMinimized());

  window.showNormal();
  core.form().SetTrayIcon(1);
  ASSERT_TRUE(core.form().alarm());
  window.activateWindow();
  QApplication::setActiveWindow(&window);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  EXPECT_FALSE(core.form().alarm());
}

}  // namespace
}  // namespace korvan
