// Every page of the main window on a real X server, in Czech (the design
// language) and in English, saved as PNG files into the build's
// test-artifacts/ folder for people to look at. Each picture must be the
// window's size and show more than one colour.
#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QTabWidget>
#include <QTest>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>

#include "gui/views/main_window.h"
#include "tests/gui/screenshots/x_server.h"
#include "tests/gui/views/view_fixture.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;

class ScreenshotTest : public test::ViewFixture {
 protected:
  void SetUp() override {
    if (!test::g_have_x_server) GTEST_SKIP() << "Xvfb not installed: no screenshots taken";
  }

  // Shows each page and saves what the X server shows of the window.
  void TakeAll(ClientCore& core, const std::string& language) {
    gui::TKorvanFM window(core);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const fs::path folder = KORVAN_ARTIFACT_DIR;
    fs::create_directories(folder);
    for (int page = 0; page < window.pages().count(); ++page) {
      window.ShowPage(page);
      QTest::qWait(150);
      QPixmap shot = window.screen()->grabWindow(window.winId());
      if (shot.isNull()) shot = window.grab();
      const std::string name =
          "window-" + language + "-" + std::to_string(page) + "-" + window.pages().widget(page)->objectName().toStdString() + ".png";
      ASSERT_TRUE(shot.save(QString::fromStdString((folder / name).string()))) << name;

      const QImage image = shot.toImage();
      EXPECT_EQ(image.size(), window.size() * window.devicePixelRatio()) << name;
      std::set<QRgb> colours;
      for (int y = 0; y < image.height() && colours.size() < 8; y += 7) {
        for (int x = 0; x < image.width() && colours.size() < 8; x += 7) colours.insert(image.pixel(x, y));
      }
      EXPECT_GE(colours.size(), 3u) << name << " looks empty";
    }
  }
};

TEST_F(ScreenshotTest, EveryPageInCzechAndInEnglish) {
  ClientCore& core = StartCore();
  core.form().WriteToLog("KORVAN: a line in the log");
  TakeAll(core, "cs");

  const auto& files = core.form().settings.language_files;
  const auto english = std::find(files.begin(), files.end(), "en.kvl");
  ASSERT_NE(english, files.end());
  core.form().settings.LanguageCB.select(static_cast<int>(english - files.begin()));
  core.ApplySelectedLanguage();
  TakeAll(core, "en");
}

}  // namespace
}  // namespace korvan
