// The port table page and its setup dialog, driven as a user would: the
// dialog is modal, so each test acts inside it once it is up.
#include <functional>

#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include "gui/views/main_window.h"
#include "gui/views/setup_dialog.h"
#include "tests/gui/views/view_fixture.h"

namespace korvan {
namespace {

using gui::TKorvanFM;
using gui::TSetupFM;

class PortSetupTest : public test::ViewFixture {
 protected:
  // Clicks `button` (which opens the dialog) and runs `act` inside it.
  void WithDialog(TKorvanFM& window, const QString& button, std::function<void(TSetupFM&)> act) {
    bool ran = false;
    QTimer::singleShot(0, &window, [&] {
      TSetupFM& dialog = window.setup_dialog();
      EXPECT_TRUE(dialog.isVisible());
      act(dialog);
      ran = true;
      if (dialog.isVisible()) dialog.reject();  // never leave a test hanging
    });
    QTest::mouseClick(Find<QPushButton>(window, button), Qt::LeftButton);
    EXPECT_TRUE(ran);
  }
  // Clicks OK; returns the refusal's text when a message box came up (and
  // closes it), else an empty text.
  QString PressOk(TSetupFM& dialog) {
    QTest::mouseClick(dialog.findChild<QPushButton*>("btnOK"), Qt::LeftButton);
    auto* box = dialog.findChild<QMessageBox*>("SetupRefusal");
    if (box == nullptr) return {};
    const QString text = box->text();
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    EXPECT_TRUE(box->windowTitle().isEmpty());
    box->accept();
    QCoreApplication::processEvents();
    return text;
  }
  static void Fill(TSetupFM& dialog, int port, int protocol, const QString& host = {}, int remote = 1) {
    dialog.findChild<QSpinBox*>("LPortSE")->setValue(port);
    auto* kind = dialog.findChild<QComboBox*>("ProtocolCB");
    kind->setCurrentIndex(protocol);
    if (protocol == 1) {
      dialog.findChild<QLineEdit*>("HostEL")->setText(host);
      dialog.findChild<QSpinBox*>("CPortSE")->setValue(remote);
    }
  }
};

TEST_F(PortSetupTest, AddEditAndDeleteRowsThroughTheDialog) {
  WriteConfig("[Setup]\r\nSocketCount=1\r\n[Socket1]\r\nLPort=3128\r\nProtocol=0\r\nTimeout=10\r\n");
  ClientCore& core = StartCore();
  TKorvanFM window(core);
  window.show();
  window.ShowPage(2);
  auto* grid = Find<QTableWidget>(window, "SocketsGrid");
  ASSERT_EQ(grid->rowCount(), 1);
  EXPECT_EQ(grid->item(0, 0)->text(), "3128");
  EXPECT_EQ(grid->item(0, 1)->text(), "HTTP");
  EXPECT_EQ(grid->item(0, 3)->text(), "?");
  EXPECT_EQ(grid->item(0, 4)->text(), "1000");

  WithDialog(window, "_btnAppend", [&](TSetupFM& dialog) {
    // HTTP shows no target host or port.
    EXPECT_FALSE(dialog.findChild<QLineEdit*>("HostEL")->isVisible());
    EXPECT_FALSE(dialog.findChild<QSpinBox*>("CPortSE")->isVisible());
    Fill(dialog, 2525, 1, "a-very-long-mail-host-name.example.org", 465);
    EXPECT_TRUE(dialog.findChild<QLineEdit*>("HostEL")->isVisible());
    dialog.findChild<QSlider*>("TimeoutS")->setValue(3);
    EXPECT_EQ(PressOk(dialog), QString());
    EXPECT_FALSE(dialog.isVisible());
  });
  ASSERT_EQ(grid->rowCount(), 2);
  const PortRow& added = core.form().ports().rows()[1];
  EXPECT_EQ(added.Port, 2525);
  EXPECT_EQ(added.Protocol, 1);
  EXPECT_EQ(added.Host, "a-very-long-mail-host-name.exa") << "the field holds 30 characters";
  EXPECT_EQ(added.CPort, 465);
  EXPECT_EQ(grid->item(1, 3)->text(), "465");
  EXPECT_EQ(grid->item(1, 4)->text(), "300");

  // Editing a row and keeping its own port is allowed.
  grid->setCurrentCell(1, 0);
  WithDialog(window, "_btnEdit", [&](TSetupFM& dialog) {
    EXPECT_EQ(dialog.findChild<QSpinBox*>("LPortSE")->value(), 2525);
    EXPECT_EQ(dialog.findChild<QSpinBox*>("CPortSE")->value(), 465);
    dialog.findChild<QSpinBox*>("CPortSE")->setValue(587);
    EXPECT_EQ(PressOk(dialog), QString());
  });
  EXPECT_EQ(core.form().ports().rows()[1].CPort, 587);

  // Delete asks first; the question names the row.
  grid->setCurrentCell(1, 0);
  QTest::mouseClick(Find<QPushButton>(window, "_btnDelete"), Qt::LeftButton);
  ASSERT_EQ(platform_.prompts.questions.size(), 1u);
  EXPECT_NE(platform_.prompts.questions[0].second.find("2525"), std::string::npos);
  EXPECT_EQ(grid->rowCount(), 1);
  QTest::mouseClick(Find<QPushButton>(window, "_btnDelete"), Qt::LeftButton);
  EXPECT_EQ(grid->rowCount(), 0);
  EXPECT_FALSE(Find<QPushButton>(window, "_btnEdit")->isEnabled()) << "nothing left to edit";
  EXPECT_FALSE(Find<QPushButton>(window, "_btnDelete")->isEnabled());
}

TEST_F(PortSetupTest, TheDialogRefusesAPortAnotherRowHoldsAndStaysOpen) {
  WriteConfig(
      "[Setup]\r\nSocketCount=2\r\n[Socket1]\r\nLPort=3128\r\nProtocol=0\r\n[Socket2]\r\nLPort=1080\r\nProtocol=2\r\n");
  ClientCore& core = StartCore();
  TKorvanFM window(core);
  window.show();
  window.ShowPage(2);

  WithDialog(window, "_btnAppend", [&](TSetupFM& dialog) {
    Fill(dialog, 1080, 0);
    EXPECT_EQ(PressOk(dialog), QString::fromUtf8("Port 1080 je již používán."));
    EXPECT_TRUE(dialog.isVisible()) << "the user may choose another port";
    Fill(dialog, 8080, 0);
    EXPECT_EQ(PressOk(dialog), QString());
  });
  EXPECT_EQ(core.form().ports().rows().size(), 3u);

  // Editing the first row onto the second row's port is refused; Cancel
  // leaves the row as it was.
  Find<QTableWidget>(window, "SocketsGrid")->setCurrentCell(0, 0);
  WithDialog(window, "_btnEdit", [&](TSetupFM& dialog) {
    dialog.findChild<QSpinBox*>("LPortSE")->setValue(8080);
    EXPECT_EQ(PressOk(dialog), QString::fromUtf8("Port 8080 je již používán."));
    QTest::mouseClick(dialog.findChild<QPushButton*>("btnCancel"), Qt::LeftButton);
    EXPECT_FALSE(dialog.isVisible());
  });
  EXPECT_EQ(core.form().ports().rows()[0].Port, 3128);

  // The mail relay's address on port 25 becomes an SMTP row.
  WithDialog(window, "_btnAppend", [&](TSetupFM& dialog) {
    Fill(dialog, 2525, 1, QString::fromLatin1(kMailRelayAddress.data(), kMailRelayAddress.size()), 25);
    EXPECT_EQ(PressOk(dialog), QString());
  });
  EXPECT_EQ(core.form().ports().rows().back().Protocol, 3);
  EXPECT_EQ(Find<QTableWidget>(window, "SocketsGrid")->item(3, 1)->text(), "SMTP");
}

}  // namespace
}  // namespace korvan
