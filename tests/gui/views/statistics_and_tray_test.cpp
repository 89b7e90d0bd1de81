// The statistics page, the chart, the messages page and the tray over a
// started core: each follows the model it shows, and the tray's alarm
// blinks exactly while the alarm is on.
#include <algorithm>
#include <set>

#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "gui/views/main_window.h"
#include "gui/views/messages_page.h"
#include "gui/views/statistics_page.h"
#include "gui/views/traffic_chart_view.h"
#include "gui/views/tray_icon.h"
#include "gui/views/widget_text.h"
#include "tests/gui/views/view_fixture.h"

namespace korvan {
namespace {

using gui::TKorvanFM;

class StatisticsAndTrayTest : public test::ViewFixture {};

TEST_F(StatisticsAndTrayTest, FieldsFollowTheStatisticsAndTheButtonItsState) {
  ClientCore& core = StartCore();
  TKorvanFM window(core);
  KorvanForm& form = core.form();
  form.statistics.sent_uncompressed = 2048;    // KiB
  form.statistics.sent_compressed = 1024;
  form.statistics.received_uncompressed = 10240;
  form.statistics.received_compressed = 2048;
  form.ShowStatistics();

  const auto text = [&](const char* name) { return Find<QLineEdit>(window, name)->text(); };
  EXPECT_EQ(text("OdeslanoEL"), gui::WidgetText(form.statistics_texts.OdeslanoEL, core));
  EXPECT_EQ(text("PrijatoCEL"), gui::WidgetText(form.statistics_texts.PrijatoCEL, core));
  EXPECT_EQ(text("CelkemUsporaEL"), gui::WidgetText(form.statistics_texts.CelkemUsporaEL, core));
  EXPECT_NE(text("CelkemUsporaEL"), QStringLiteral("0 B"));
  EXPECT_EQ(Find<QLabel>(window, "PredplacenoL")->text(), QStringLiteral("?")) << "no account date yet";

  form.AddOpenConnections(3);
  EXPECT_EQ(Find<QLabel>(window, "ConnectionL")->text(), QStringLiteral("3"));

  auto* update = Find<QPushButton>(window, "_UpdateInfo");
  EXPECT_TRUE(update->isEnabled());
  form.UpdateInfo.enabled = false;
  form.changes.Notify(ModelChange::kStatistics);
  EXPECT_FALSE(update->isEnabled()) << "a query is running";
}

TEST_F(StatisticsAndTrayTest, ChartDrawsTheModelsPointsEachSecond) {
  ClientCore& core = StartCore();
  TKorvanFM window(core);
  auto* chart = window.findChild<gui::TrafficChartView*>();
  ASSERT_NE(chart, nullptr);
  KorvanForm& form = core.form();
  const std::uint32_t now = form.chart.current_start();
  form.AddTraffic(now, now, 4096, 1024, 2048, 8192);  // bytes, all in the current second
  form.Timer1Timer();

  for (int i = 0; i < 4; ++i) {
    const auto& model = form.chart.series(static_cast<TrafficChart::Series>(i));
    const QList<QPointF> drawn = chart->Points(i);
    ASSERT_EQ(drawn.size(), static_cast<qsizetype>(model.size())) << i;
    for (std::size_t x = 0; x < model.size(); ++x) EXPECT_DOUBLE_EQ(drawn[static_cast<qsizetype>(x)].y(), model[x]);
  }
  // Something was sent and received in the last seconds.
  double received = 0, sent = 0;
  for (const QPointF& p : chart->Points(0)) received += p.y();
  for (const QPointF& p : chart->Points(2)) sent += p.y();
  EXPECT_GT(received, 0);
  EXPECT_GT(sent, 0);
}

TEST_F(StatisticsAndTrayTest, MemoFollowsTheLogAndClearing) {
  ClientCore& core = StartCore();
  TKorvanFM window(core);
  auto* memo = Find<QPlainTextEdit>(window, "Memo1");
  KorvanForm& form = core.form();
  const int before = memo->blockCount();
  form.WriteToLog("first \xe8\xe1st");  // "část" in code page 1250
  form.WriteToLog("second");
  EXPECT_EQ(memo->blockCount(), before + 2);
  EXPECT_TRUE(memo->toPlainText().contains(QString::fromUtf8("first část")));
  EXPECT_TRUE(memo->toPlainText().endsWith(QStringLiteral("second")));

  form.SetTrayIcon(1);
  QTest::mouseClick(Find<QPushButton>(window, "_ClearLog"), Qt::LeftButton);
  EXPECT_TRUE(memo->toPlainText().isEmpty());
  EXPECT_FALSE(form.alarm()) << "clearing stops the alarm";
  form.WriteToLog("after");
  EXPECT_EQ(memo->blockCount(), 1);

  form.SetTrayIcon(1);
  QTest::mouseClick(memo->viewport(), Qt::LeftButton);
  EXPECT_FALSE(form.alarm()) << "a click into the memo stops it";
}

TEST_F(StatisticsAndTrayTest, TrayBlinksWhileTheAlarmIsOnAndShowsTheSaving) {
  ClientCore& core = StartCore();
  TKorvanFM window(core);
  gui::TrayIconView tray(core, window);
  KorvanForm& form = core.form();

  const QList<QAction*> items = tray.menu().actions();
  ASSERT_EQ(items.size(), 4);
  const auto shown = [](QAction* item) { return QString(item->text()).remove(QLatin1Char('&')); };
  EXPECT_EQ(shown(items[0]), QString::fromUtf8("Zobrazit"));
  EXPECT_TRUE(items[1]->isSeparator());
  EXPECT_EQ(shown(items[2]), QString::fromUtf8("Restartovat"));
  EXPECT_EQ(shown(items[3]), QString::fromUtf8("Konec"));

  form.statistics.received_uncompressed = 1000;
  form.statistics.received_compressed = 250;
  form.ShowStatistics();
  EXPECT_EQ(tray.icon().toolTip(), gui::WidgetText(form.statistics_texts.tray_hint, core));
  EXPECT_TRUE(tray.icon().toolTip().contains(QStringLiteral("75")));

  form.SetTrayIcon(1);  // a port that could not open, a logged error
  std::set<int> seen;
  for (int i = 0; i < 6; ++i) {
    QTest::qWait(260);
    seen.insert(tray.shown_picture());
  }
  EXPECT_EQ(seen, (std::set<int>{0, 1})) << "the icon alternates";

  form.PageControl1Change(1);  // any page change stops it
  QTest::qWait(600);
  EXPECT_EQ(tray.shown_picture(), 0);
  EXPECT_FALSE(form.alarm());

  // Show with the alarm on: the messages page, the alarm off, the window up.
  form.SetTrayIcon(1);
  tray.miShowClick();
  EXPECT_FALSE(form.alarm());
  EXPECT_EQ(form.active_page(), kMessagesPage);
  EXPECT_TRUE(window.isVisible());
}

TEST_F(StatisticsAndTrayTest, TrayItemsFollowTheLanguage) {
  ClientCore& core = StartCore();
  TKorvanFM window(core);
  gui::TrayIconView tray(core, window);
  KorvanForm& form = core.form();
  const auto& files = form.settings.language_files;
  const auto english = std::find(files.begin(), files.end(), "en.kvl");
  ASSERT_NE(english, files.end());
  form.settings.LanguageCB.select(static_cast<int>(english - files.begin()));
  core.ApplySelectedLanguage();
  EXPECT_FALSE(tray.menu().actions()[0]->text().contains(QString::fromUtf8("Zobrazit")));
  EXPECT_FALSE(tray.menu().actions()[3]->text().isEmpty());
}

}  // namespace
}  // namespace korvan
