// Captions at run time: a language switch re-captions pages, grid, dialog and
// buttons; languages apply on top of each other; a Cyrillic file shows
// Cyrillic; every control can be reached by Tab and has an accessible name.
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>

#include "gui/views/main_window.h"
#include "gui/views/setup_dialog.h"
#include "gui/views/widget_text.h"
#include "tests/gui/views/view_fixture.h"

namespace korvan {
namespace {

using gui::TKorvanFM;
using test::Cp1250;

class LanguageTest : public test::ViewFixture {
 protected:
  // Picks the language of that display name in the combo box, as a user would.
  void Choose(TKorvanFM& window, const QString& name) {
    auto* box = Find<QComboBox>(window, "LanguageCB");
    const int index = box->findText(name);
    ASSERT_GE(index, 0) << name.toStdString();
    box->setCurrentIndex(index);
  }
};

TEST_F(LanguageTest, ASwitchAtRunTimeRecaptionsPagesGridDialogAndButtons) {
  ClientCore& core = StartCore();
  TKorvanFM window(core);
  QTabWidget& pages = window.pages();
  ASSERT_EQ(pages.count(), 5);
  EXPECT_EQ(pages.tabText(0), "Komunikace");
  EXPECT_EQ(pages.tabText(1), QString::fromUtf8("Nastavení"));
  EXPECT_EQ(pages.tabText(4), QString::fromUtf8("Zprávy"));
  EXPECT_EQ(pages.widget(3)->objectName(), "_tsStatistics");
  EXPECT_EQ(pages.widget(4)->objectName(), "_tsMessages");
  EXPECT_EQ(window.setup_dialog().windowTitle(), QString::fromUtf8("Nastevení protokolu"));

  Choose(window, "English");
  EXPECT_EQ(core.form().settings.language_files[static_cast<std::size_t>(core.form().settings.LanguageCB.index)],
            "en.kvl");
  EXPECT_EQ(pages.tabText(0), "Communication");
  EXPECT_EQ(pages.tabText(2), "Protocols");
  auto* grid = Find<QTableWidget>(window, "SocketsGrid");
  EXPECT_EQ(grid->horizontalHeaderItem(1)->text(), "Protocol");
  EXPECT_EQ(grid->horizontalHeaderItem(3)->text(), "R. port");
  EXPECT_EQ(Find<QLabel>(window, "_UserID")->text(), "User ID:");
  EXPECT_EQ(Find<QCheckBox>(window, "_Autostart")->text(), "Start KORVAN when I log in");
  EXPECT_EQ(Find<QPushButton>(window, "_btnSave")->text(), "&Save");
  EXPECT_EQ(Find<QPushButton>(window, "Button1")->text(), "&Edit");
  EXPECT_EQ(Find<QListWidget>(window, "ConnectionsLB")->item(0)->text(), "IE - Local network settings");
  gui::TSetupFM& dialog = window.setup_dialog();
  EXPECT_EQ(dialog.windowTitle(), "Protocol settings");
  EXPECT_EQ(dialog.findChild<QLabel*>("_TargetPort")->text(), "Target port:");
  EXPECT_EQ(dialog.findChild<QPushButton*>("btnCancel")->text(), "&Cancel");
  EXPECT_EQ(Find<QWidget>(window, "IDSE")->accessibleName(), "User ID:") << "the label names its field";

  // In edit mode the edit button says Cancel, in the language of the moment.
  QTest::mouseClick(Find<QPushButton>(window, "Button1"), Qt::LeftButton);
  EXPECT_EQ(Find<QPushButton>(window, "Button1")->text(), "&Cancel");
  Choose(window, QString::fromUtf8("Čeština"));
  EXPECT_EQ(Find<QPushButton>(window, "Button1")->text(), "&Storno");
  EXPECT_EQ(pages.tabText(0), "Komunikace");
  EXPECT_EQ(grid->horizontalHeaderItem(3)->text(), "C. port");
  core.form().WriteINI();
  EXPECT_NE(ConfigOnDisk().find("Language=cs.kvl"), std::string::npos);
}

TEST_F(LanguageTest, ALaterFileKeepsWhatItDoesNotNameFromTheEarlierOne) {
  WriteLanguageFile("a.kvl", "[Common]\r\nLanguageName=Alpha\r\n[MainForm]\r\ntsSettings=Alpha settings\r\n"
                             "tsProtocols=Alpha ports\r\nRemoteHost=Alpha host\r\n[PortSetup]\r\nTitle=Alpha title\r\n");
  WriteLanguageFile("b.kvl", "[Common]\r\nLanguageName=Beta\r\nFontName=DejaVu Serif\r\n"
                             "[MainForm]\r\ntsSettings=Beta settings\r\n");
  ClientCore& core = StartCore();
  TKorvanFM window(core);
  Choose(window, "Alpha");
  Choose(window, "Beta");
  EXPECT_EQ(window.pages().tabText(1), "Beta settings");
  EXPECT_EQ(window.pages().tabText(2), "Alpha ports");
  EXPECT_EQ(Find<QTableWidget>(window, "SocketsGrid")->horizontalHeaderItem(2)->text(), "Alpha host");
  EXPECT_EQ(window.setup_dialog().windowTitle(), "Alpha title");
  EXPECT_EQ(window.font().family().toUpper(), "DEJAVU SERIF") << "the face name is used upper-cased, as given";
  EXPECT_EQ(window.setup_dialog().font().family().toUpper(), "DEJAVU SERIF");
}

TEST_F(LanguageTest, ACyrillicFileShowsCyrillicText) {
  const QString communication = QString::fromUtf8("Связь");
  const QString title = QString::fromUtf8("Настройка протокола");
  WriteLanguageFile("ru.kvl", "[Common]\r\nLanguageName=Russkij\r\nCharset=russian\r\n[MainForm]\r\ntsCommunication=" +
                                  gui::EncodeCodePage(communication, gui::CodePage::k1251) +
                                  "\r\n[PortSetup]\r\nTitle=" + gui::EncodeCodePage(title, gui::CodePage::k1251) +
                                  "\r\n[Messages]\r\nbtnEdit=" +
                                  gui::EncodeCodePage(QString::fromUtf8("&Правка"), gui::CodePage::k1251) + "\r\n");
  ClientCore& core = StartCore();
  TKorvanFM window(core);
  Choose(window, "Russkij");
  EXPECT_EQ(window.pages().tabText(0), communication);
  EXPECT_EQ(window.setup_dialog().windowTitle(), title);
  EXPECT_EQ(Find<QPushButton>(window, "Button1")->text(), QString::fromUtf8("&Правка"));
  EXPECT_EQ(Find<QWidget>(window, "_tsCommunication")->accessibleName(), communication);
}

TEST_F(LanguageTest, EveryControlIsReachableByTabAndHasAnAccessibleName) {
  WriteConfig("[Setup]\r\nSocketCount=1\r\n[Socket1]\r\nLPort=3128\r\n");
  ClientCore& core = StartCore();
  TKorvanFM window(core);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QTest::mouseClick(Find<QPushButton>(window, "Button1"), Qt::LeftButton);  // unlock the edits
  Find<QCheckBox>(window, "_UseParentProxy")->click();

  for (int page = 0; page < window.pages().count(); ++page) {
    window.ShowPage(page);
    QWidget* shown = window.pages().widget(page);
    QSet<QWidget*> chain;
    for (QWidget* w = window.nextInFocusChain(); w != &window; w = w->nextInFocusChain()) chain.insert(w);
    int controls = 0;
    for (QWidget* control : shown->findChildren<QWidget*>()) {
      if (!control->isVisible() || !control->isEnabled() || !(control->focusPolicy() & Qt::TabFocus)) continue;
      if (control->focusProxy() != nullptr || qobject_cast<QAbstractSpinBox*>(control->parentWidget())) continue;
      ++controls;
      const std::string name = control->objectName().toStdString();
      EXPECT_TRUE(chain.contains(control)) << name << " on page " << page << " is not in the Tab order";
      EXPECT_FALSE(control->accessibleName().isEmpty()) << name << " on page " << page << " has no accessible name";
    }
    EXPECT_GE(controls, 2) << "page " << page;
  }
  EXPECT_EQ(Find<QWidget>(window, "ConnectionsLB")->accessibleName(), QString::fromUtf8("Automatické nastavení"));
  EXPECT_EQ(Find<QWidget>(window, "SocketsGrid")->accessibleName(), "Protokoly");
}

TEST(WidgetTextTest, CodePagesRoundTripAndUnknownCharactersBecomeQuestionMarks) {
  const std::string czech = "P\xF8\x69jato: \x9Elu\x9Dou\xE8k\xFD k\xF9\xF2";  // "Přijato: žluťoučký kůň"
  EXPECT_EQ(gui::DecodeCodePage(czech, gui::CodePage::k1250), QString::fromUtf8("Přijato: žluťoučký kůň"));
  EXPECT_EQ(gui::EncodeCodePage(QString::fromUtf8("Přijato: žluťoučký kůň"), gui::CodePage::k1250), czech);
  EXPECT_EQ(gui::DecodeCodePage("\xD1\xE2\xFF\xE7\xFC", gui::CodePage::k1251), QString::fromUtf8("Связь"));
  EXPECT_EQ(gui::EncodeCodePage(QString::fromUtf8("日本 €"), gui::CodePage::k1250), "?? \x80");
  EXPECT_EQ(gui::EncodeCodePage(QString::fromUtf8("ž"), gui::CodePage::k1251), "?");
}

}  // namespace
}  // namespace korvan
