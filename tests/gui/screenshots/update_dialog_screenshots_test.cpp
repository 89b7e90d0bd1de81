// The update dialog on a real X server, with the program's own texts in
// Czech and in English, saved as PNG files into test-artifacts/ for people
// to look at. The picture must be the dialog's size, show more than one
// colour, and every control must lie inside it. Here, where someone could
// answer, the updater's boxes and dialog wait for the answer and return it.
#include <QApplication>
#include <QCheckBox>
#include <QImage>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "gui/qt_update_dialogs.h"
#include "gui/views/update_dialog.h"
#include "localisation/text_format.h"
#include "tests/gui/screenshots/x_server.h"
#include "tests/gui/views/view_fixture.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;

class UpdateDialogScreenshotTest : public test::ViewFixture {
 protected:
  void SetUp() override {
    if (!test::g_have_x_server) GTEST_SKIP() << "Xvfb not installed: no screenshots taken";
  }

  // The request the updater builds, from the current language's texts.
  static UpdateDialogRequest Request(const ClientCore& core, const QString& notes) {
    const TextTable& texts = core.texts();
    UpdateDialogRequest request;
    request.caption = texts.Text(TextKey::NewVersionFoundTitle);
    request.memo = FormatText(texts.Text(TextKey::NewVersionFound), {"1,2 MB", test::Cp1250(notes)});
    request.question = texts.Text(TextKey::UpdateQuery);
    request.yes_text = texts.Text(TextKey::btnYes);
    request.no_text = texts.Text(TextKey::btnNo);
    request.help_due = true;
    request.help_text = FormatText(texts.Text(TextKey::UpdateHelp), {"350 kB"});
    request.total_size = 1234567;
    return request;
  }

  void Take(const ClientCore& core, const QString& notes, const std::string& language) {
    gui::TUpdateFM dialog(Request(core, notes), &core);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    QTest::qWait(150);
    QPixmap shot = dialog.screen()->grabWindow(dialog.winId());
    if (shot.isNull()) shot = dialog.grab();
    const fs::path folder = KORVAN_ARTIFACT_DIR;
    fs::create_directories(folder);
    const std::string name = "update-dialog-" + language + ".png";
    ASSERT_TRUE(shot.save(QString::fromStdString((folder / name).string()))) << name;

    const QImage image = shot.toImage();
    EXPECT_EQ(image.size(), QSize(gui::kUpdateDialogWidth, gui::kUpdateDialogHeight) * dialog.devicePixelRatio())
        << name;
    std::set<QRgb> colours;
    for (int y = 0; y < image.height() && colours.size() < 8; y += 5) {
      for (int x = 0; x < image.width() && colours.size() < 8; x += 5) colours.insert(image.pixel(x, y));
    }
    EXPECT_GE(colours.size(), 3u) << name << " looks empty";
    // Nothing cut off: the texts fit their controls, the controls the window.
    for (const char* control : {"UpdateHelp", "_UpdateQuery", "btnYes", "btnNo"}) {
      const QWidget* widget = dialog.findChild<QWidget*>(control);
      ASSERT_NE(widget, nullptr) << control;
      const QRect in_dialog(widget->mapTo(&dialog, QPoint(0, 0)), widget->size());
      EXPECT_TRUE(dialog.rect().contains(in_dialog)) << name << ": " << control;
      EXPECT_GE(widget->width(), widget->sizeHint().width()) << name << ": " << control << " cut off";
    }
  }
};

TEST_F(UpdateDialogScreenshotTest, InCzechAndInEnglish) {
  ClientCore& core = StartCore();
  Take(core, QStringLiteral(u"Verze 1.01:\r\n- rychlejší komprese obrázků\r\n- opravy chyb při obnově spojení"), "cs");

  const auto& files = core.form().settings.language_files;
  const auto english = std::find(files.begin(), files.end(), "en.kvl");
  ASSERT_NE(english, files.end());
  core.form().settings.LanguageCB.select(static_cast<int>(english - files.begin()));
  core.ApplySelectedLanguage();
  Take(core, QStringLiteral("Version 1.01:\r\n- faster image compression\r\n- fixes for reconnecting"), "en");
}

class UpdaterWindowsTest : public UpdateDialogScreenshotTest {
 protected:
  // Runs `act` on the first visible window of type T once it is up (the
  // call that shows it waits in its own loop meanwhile).
  template <typename T>
  void WhenShown(std::function<void(T&)> act) {
    poll_ = std::make_unique<QTimer>();
    QObject::connect(poll_.get(), &QTimer::timeout, poll_.get(), [this, act] {
      for (QWidget* window : QApplication::topLevelWidgets()) {
        auto* shown = qobject_cast<T*>(window);
        if (shown == nullptr || !shown->isVisible()) continue;
        poll_->stop();
        act(*shown);
        return;
      }
    });
    poll_->start(20);
  }

  std::unique_ptr<QTimer> poll_;
  std::ostringstream err_;
  gui::QtPrompts prompts_{err_};
  gui::QtUpdateDialogs dialogs_{prompts_, err_};
};

TEST_F(UpdaterWindowsTest, QuestionBoxesHaveYesAndNoAndReturnThePress) {
  ASSERT_TRUE(prompts_.interactive());
  QWidget owner;
  owner.show();
  prompts_.set_owner(&owner);
  WhenShown<QMessageBox>([&](QMessageBox& box) {
    EXPECT_EQ(box.icon(), QMessageBox::Question);
    EXPECT_EQ(box.standardButtons(), QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(box.windowTitle(), QStringLiteral("KORVAN"));
    EXPECT_EQ(box.text(), QStringLiteral(u"Hotovo.\nRestartovat teď?"));
    EXPECT_EQ(box.parentWidget(), &owner);
    QTest::mouseClick(box.button(QMessageBox::Yes), Qt::LeftButton);
  });
  EXPECT_EQ(dialogs_.ShowMessageBox({"Hotovo.\rRestartovat te\xEF?", "KORVAN", kMbYesNo | kMbIconQuestion}), kIdYes);

  owner.hide();
  WhenShown<QMessageBox>([&](QMessageBox& box) {
    EXPECT_EQ(box.parentWidget(), nullptr) << "no owner hidden in the tray";
    QTest::keyClick(&box, Qt::Key_Escape);
  });
  EXPECT_EQ(dialogs_.ShowMessageBox({"Restartovat?", "KORVAN", kMbYesNo | kMbIconQuestion}), kIdNo) << "closing is No";
  EXPECT_TRUE(err_.str().empty()) << "questions answered in a box need no line";
}

TEST_F(UpdaterWindowsTest, ErrorBoxesHaveOnlyOkAndALineOnStandardError) {
  ASSERT_TRUE(prompts_.interactive());
  WhenShown<QMessageBox>([&](QMessageBox& box) {
    EXPECT_EQ(box.icon(), QMessageBox::Critical);
    EXPECT_EQ(box.standardButtons(), QMessageBox::Ok);
    EXPECT_TRUE(box.windowTitle().isEmpty());
    box.button(QMessageBox::Ok)->click();
  });
  EXPECT_EQ(dialogs_.ShowMessageBox({"Chybn\xFD form\xE1t", "", kMbOk | kMbIconError}), kIdOk);
  EXPECT_EQ(err_.str(), "korvan: Chybný formát\n");

  WhenShown<QMessageBox>([&](QMessageBox& box) {
    EXPECT_EQ(box.icon(), QMessageBox::Information);
    box.button(QMessageBox::Ok)->click();
  });
  EXPECT_EQ(dialogs_.ShowMessageBox({"Hotovo.", "KORVAN", kMbOk | kMbIconInformation}), kIdOk);
}

TEST_F(UpdaterWindowsTest, TheUpdateDialogWaitsForTheAnswer) {
  ASSERT_TRUE(prompts_.interactive());
  WhenShown<gui::TUpdateFM>([&](gui::TUpdateFM& dialog) {
    dialog.findChild<QCheckBox*>("UpdateHelp")->click();
    QTest::mouseClick(dialog.findChild<QPushButton*>("btnYes"), Qt::LeftButton);
  });
  UpdateDialogRequest request;
  request.caption = "KORVAN";
  request.help_due = true;
  request.total_size = 10;
  UpdateDialogAnswer answer = dialogs_.ShowUpdateDialog(request);
  EXPECT_TRUE(answer.yes);
  EXPECT_FALSE(answer.help_ticked);

  WhenShown<gui::TUpdateFM>([&](gui::TUpdateFM& dialog) { dialog.close(); });
  answer = dialogs_.ShowUpdateDialog(request);
  EXPECT_FALSE(answer.yes);
  EXPECT_TRUE(answer.help_ticked);
}

}  // namespace
}  // namespace korvan
