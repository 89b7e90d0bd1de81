// The update dialog driven as a user would (shown non-modally, clicked with
// QTest), the updater's windows where nobody can answer them, and the
// messages page's update button and gauge following the model.
#include "gui/views/update_dialog.h"

#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <climits>
#include <sstream>

#include "gui/qt_update_dialogs.h"
#include "gui/views/messages_page.h"
#include "gui/views/widget_text.h"
#include "tests/gui/views/view_fixture.h"

namespace korvan {
namespace {

using gui::TUpdateFM;

UpdateDialogRequest CzechRequest(std::int64_t total_size = 123456, bool help_due = true) {
  UpdateDialogRequest request;
  request.caption = "Nalezena nov\xE1 verze KORVAN";
  request.memo = "Velikost: 120 kB\r\n\r\nOpravy chyb";
  request.question =
      "P\xF8"
      "ejete si nyn\xED aktualizovat KORVAN?";
  request.yes_text = "&Ano";
  request.no_text = "&Ne";
  request.help_due = help_due;
  request.help_text =
      "Aktualizovat n\xE1pov\xEC"
      "du (40 kB)";
  request.total_size = total_size;
  return request;
}

class UpdateDialogTest : public test::ViewFixture {
 protected:
  // Shows the dialog as the user would see it, without waiting in exec().
  static void Show(TUpdateFM& dialog) {
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  }
  static void Click(TUpdateFM& dialog, const char* name) {
    auto* button = dialog.findChild<QAbstractButton*>(name);
    ASSERT_NE(button, nullptr) << name;
    QTest::mouseClick(button, Qt::LeftButton);
  }
};

TEST_F(UpdateDialogTest, ShowsTheRequestInItsControlsAndLayout) {
  TUpdateFM dialog(CzechRequest(), nullptr);
  Show(dialog);
  EXPECT_EQ(dialog.size(), QSize(281, 270));
  EXPECT_TRUE(dialog.windowFlags().testFlag(Qt::Tool));
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral(u"Nalezena nová verze KORVAN"));
  const QRect screen = dialog.screen()->availableGeometry();
  EXPECT_LE((dialog.frameGeometry().center() - screen.center()).manhattanLength(), 4) << "centred on the screen";

  auto* memo = Find<QPlainTextEdit>(dialog, "Memo1");
  EXPECT_TRUE(memo->isReadOnly());
  EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(memo->toPlainText(), QStringLiteral("Velikost: 120 kB\n\nOpravy chyb"));
  EXPECT_EQ(memo->palette().color(QPalette::Base), dialog.palette().color(QPalette::Button));
  auto* help = Find<QWidget>(dialog, "HelpPanel");
  auto* bottom = Find<QWidget>(dialog, "BottomPanel");
  EXPECT_EQ(memo->geometry(), QRect(5, 5, 271, 270 - 26 - 60 - 10));
  EXPECT_EQ(help->geometry(), QRect(0, 270 - 60 - 26, 281, 26));
  EXPECT_EQ(bottom->geometry(), QRect(0, 270 - 60, 281, 60));

  auto* box = Find<QCheckBox>(dialog, "UpdateHelp");
  EXPECT_TRUE(box->isVisible());
  EXPECT_TRUE(box->isChecked()) << "the help comes along unless refused";
  EXPECT_EQ(box->text(), QStringLiteral(u"Aktualizovat nápovědu (40 kB)"));
  auto* question = Find<QLabel>(dialog, "_UpdateQuery");
  EXPECT_EQ(question->text(), QStringLiteral(u"Přejete si nyní aktualizovat KORVAN?"));
  EXPECT_TRUE(question->alignment().testFlag(Qt::AlignHCenter));
  auto* yes = Find<QPushButton>(dialog, "btnYes");
  auto* no = Find<QPushButton>(dialog, "btnNo");
  EXPECT_EQ(yes->text(), QStringLiteral("&Ano"));
  EXPECT_EQ(no->text(), QStringLiteral("&Ne"));
  EXPECT_TRUE(yes->isDefault());
  EXPECT_TRUE(yes->isEnabled());
  // Both buttons sit inside the bottom panel, side by side, about its middle.
  EXPECT_TRUE(bottom->rect().contains(yes->geometry()));
  EXPECT_LT(yes->geometry().right(), no->geometry().left());
  EXPECT_LE(std::abs((yes->geometry().left() + no->geometry().right()) / 2 - bottom->width() / 2), 2);

  for (const QWidget* control :
       {static_cast<QWidget*>(memo), help, static_cast<QWidget*>(box), static_cast<QWidget*>(question),
        static_cast<QWidget*>(yes), static_cast<QWidget*>(no)}) {
    EXPECT_FALSE(control->accessibleName().isEmpty()) << control->objectName().toStdString();
  }
  EXPECT_EQ(yes->accessibleName(), QStringLiteral("Ano"));
}

TEST_F(UpdateDialogTest, HelpPanelOnlyWhenTheHelpIsDue) {
  TUpdateFM dialog(CzechRequest(1000, false), nullptr);
  Show(dialog);
  EXPECT_FALSE(Find<QWidget>(dialog, "HelpPanel")->isVisible());
  EXPECT_EQ(Find<QPlainTextEdit>(dialog, "Memo1")->geometry(), QRect(5, 5, 271, 270 - 60 - 10))
      << "the memo takes the panel's room";
}

TEST_F(UpdateDialogTest, WithOnlyTheHelpDueYesFollowsTheBox) {
  TUpdateFM dialog(CzechRequest(0), nullptr);
  Show(dialog);
  auto* yes = Find<QPushButton>(dialog, "btnYes");
  EXPECT_TRUE(yes->isEnabled());
  Click(dialog, "UpdateHelp");
  EXPECT_FALSE(yes->isEnabled()) << "nothing would be fetched";
  Click(dialog, "UpdateHelp");
  EXPECT_TRUE(yes->isEnabled());
}

TEST_F(UpdateDialogTest, WithProgramFilesDueYesStaysWithoutTheHelp) {
  TUpdateFM dialog(CzechRequest(5000), nullptr);
  Show(dialog);
  Click(dialog, "UpdateHelp");
  EXPECT_FALSE(Find<QCheckBox>(dialog, "UpdateHelp")->isChecked());
  EXPECT_TRUE(Find<QPushButton>(dialog, "btnYes")->isEnabled());
}

TEST_F(UpdateDialogTest, AnswersWhatWasPressedAndTheBox) {
  {
    TUpdateFM dialog(CzechRequest(), nullptr);
    Show(dialog);
    Click(dialog, "btnYes");
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_TRUE(dialog.Answer().yes);
    EXPECT_TRUE(dialog.Answer().help_ticked);
  }
  {
    TUpdateFM dialog(CzechRequest(), nullptr);
    Show(dialog);
    Click(dialog, "UpdateHelp");
    Click(dialog, "btnYes");
    EXPECT_TRUE(dialog.Answer().yes);
    EXPECT_FALSE(dialog.Answer().help_ticked) << "the program without its help";
  }
  {
    TUpdateFM dialog(CzechRequest(), nullptr);
    Show(dialog);
    Click(dialog, "btnNo");
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_FALSE(dialog.Answer().yes);
  }
  {
    TUpdateFM dialog(CzechRequest(), nullptr);
    Show(dialog);
    dialog.close();
    EXPECT_FALSE(dialog.Answer().yes) << "closing is No";
  }
}

// Offscreen nobody can answer: no window waits, the line goes to standard
// error and the answer is No (OK where there is nothing to choose).
TEST_F(UpdateDialogTest, WithoutADisplayNothingWaitsAndTheAnswerIsNo) {
  std::ostringstream err;
  gui::QtPrompts prompts(err);
  ASSERT_FALSE(prompts.interactive());
  gui::QtUpdateDialogs dialogs(prompts, err);

  EXPECT_EQ(dialogs.ShowMessageBox({"Restartovat?\r\rTe\xEF", "KORVAN", kMbYesNo | kMbIconQuestion}), kIdNo);
  EXPECT_EQ(err.str(), "korvan: KORVAN: Restartovat? Teď (answered no)\n") << "one line, decoded";
  err.str({});
  EXPECT_EQ(dialogs.ShowMessageBox({"Hotovo.", "", kMbOk | kMbIconInformation}), kIdOk);
  EXPECT_EQ(err.str(), "korvan: Hotovo.\n");
  err.str({});

  const UpdateDialogAnswer answer = dialogs.ShowUpdateDialog(CzechRequest());
  EXPECT_FALSE(answer.yes);
  EXPECT_FALSE(answer.help_ticked);
  EXPECT_EQ(err.str(), "korvan: Nalezena nová verze KORVAN: Přejete si nyní aktualizovat KORVAN? (answered no)\n");
}

class UpdateButtonTest : public test::ViewFixture {};

TEST_F(UpdateButtonTest, ButtonAndGaugeFollowTheModel) {
  ClientCore& core = StartCore();
  gui::MessagesPageView page(core, nullptr);
  page.show();
  KorvanForm& form = core.form();
  auto* button = Find<QPushButton>(page, "CheckNewUpdate");
  auto* panel = Find<QWidget>(page, "UpdatePrgrP");
  auto* gauge = Find<QProgressBar>(page, "UpdatePrgr");

  form.CheckNewUpdate.text = "&Stornovat aktualizaci";
  form.CheckNewUpdate.enabled = false;
  form.CheckNewUpdateTag = 1;
  form.UpdatePrgrPVisible = true;
  form.UpdatePrgr.max = 4000;
  form.UpdatePrgr.position = 1000;
  EXPECT_FALSE(panel->isVisible()) << "nothing changes before the model says so";
  form.changes.Notify(ModelChange::kUpdate);
  EXPECT_EQ(button->text(), QStringLiteral("&Stornovat aktualizaci"));
  EXPECT_EQ(button->accessibleName(), QStringLiteral("Stornovat aktualizaci"));
  EXPECT_FALSE(button->isEnabled());
  EXPECT_TRUE(panel->isVisible());
  EXPECT_EQ(gauge->maximum(), 4000);
  EXPECT_EQ(gauge->value(), 1000);

  form.CheckNewUpdate.text = "Vyhledat &nov\xECj\x9A\xED verzi";
  form.CheckNewUpdate.enabled = true;
  form.UpdatePrgrPVisible = false;
  form.changes.Notify(ModelChange::kUpdate);
  EXPECT_EQ(button->text(), QStringLiteral(u"Vyhledat &novější verzi"));
  EXPECT_TRUE(button->isEnabled());
  EXPECT_FALSE(panel->isVisible());
}

TEST_F(UpdateButtonTest, ClickGoesToTheCore) {
  ClientCore& core = StartCore();
  gui::MessagesPageView page(core, nullptr);
  page.show();
  KorvanForm& form = core.form();
  EXPECT_EQ(Find<QPushButton>(page, "CheckNewUpdate")->text(),
            gui::WidgetText(core.texts().Text(TextKey::btnCheckNewUpdate), core));
  // As the cancel button with no download running, the click only notes
  // itself in the log: no check thread starts.
  form.CheckNewUpdateTag = 1;
  const std::string before = form.log().memo();
  QTest::mouseClick(Find<QPushButton>(page, "CheckNewUpdate"), Qt::LeftButton);
  EXPECT_NE(form.log().memo().find(core.texts().Text(TextKey::CheckNewVersion), before.size()), std::string::npos);
}

TEST(GaugeScaleTest, KeepsTheProportionBeyondTheIntRange) {
  using gui::GaugeRange;
  using gui::ScaleGauge;
  EXPECT_EQ(ScaleGauge({500, 2000}), (GaugeRange{2000, 500}));
  EXPECT_EQ(ScaleGauge({INT_MAX, INT_MAX}), (GaugeRange{INT_MAX, INT_MAX}));
  const GaugeRange big = ScaleGauge({3'000'000'000LL, 6'000'000'000LL});
  EXPECT_LE(big.max, INT_MAX);
  EXPECT_GT(big.max, INT_MAX / 2) << "no more precision lost than needed";
  EXPECT_EQ(big.position * 2, big.max);
  EXPECT_EQ(ScaleGauge({6'000'000'000LL, 6'000'000'000LL}).position,
            ScaleGauge({6'000'000'000LL, 6'000'000'000LL}).max);
  // Out of range positions stay on the bar; an empty gauge is not a busy one.
  EXPECT_EQ(ScaleGauge({-5, 100}), (GaugeRange{100, 0}));
  EXPECT_EQ(ScaleGauge({700, 100}), (GaugeRange{100, 100}));
  EXPECT_EQ(ScaleGauge({0, 0}), (GaugeRange{1, 0}));
}

}  // namespace
}  // namespace korvan
