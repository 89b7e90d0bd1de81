#include "gui/views/main_window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QScreen>
#include <QSignalBlocker>
#include <QTabBar>
#include <QTabWidget>

#include "gui/views/captions.h"
#include "gui/views/communication_page.h"
#include "gui/views/protocols_page.h"
#include "gui/views/settings_page_view.h"
#include "gui/views/setup_dialog.h"
#include "gui/views/widget_text.h"
#include "shell/client_core.h"

#include "gui/views/messages_page.h"
#include "gui/views/statistics_page.h"

namespace korvan::gui {
namespace {

// Marks an accessible name this window derived, so that a language change
// derives it again.
constexpr const char* kDerivedName = "korvanDerivedAccessibleName";

// Language files name the pages by these object names.
QWidget* Page(QWidget* page, const char* name) {
  page->setObjectName(name);
  return page;
}

}  // namespace

TKorvanFM::TKorvanFM(ClientCore& core, QWidget* parent) : QMainWindow(parent), core_(core) {
  setObjectName("KorvanFM");
  setWindowTitle(QStringLiteral("KORVAN"));
  // A dialog-style window: system menu and minimise button only.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

  setup_ = new TSetupFM(core_, this);
  PageControl1_ = new QTabWidget(this);
  PageControl1_->setObjectName("PageControl1");
  communication_ = new CommunicationPage(core_, PageControl1_);
  settings_ = new SettingsPageView(core_, PageControl1_);
  protocols_ = new ProtocolsPage(core_, *setup_, PageControl1_);
  QWidget* statistics = new StatisticsPageView(core_, PageControl1_);
  QWidget* messages = new MessagesPageView(core_, PageControl1_);
  PageControl1_->addTab(communication_, DesignCaption("_tsCommunication"));
  PageControl1_->addTab(settings_, DesignCaption("_tsSettings"));
  PageControl1_->addTab(protocols_, DesignCaption("_tsProtocols"));
  PageControl1_->addTab(Page(statistics, "_tsStatistics"), DesignCaption("_tsStatistics"));
  PageControl1_->addTab(Page(messages, "_tsMessages"), DesignCaption("_tsMessages"));
  setCentralWidget(PageControl1_);

  KorvanForm& form = core_.form();
  PageControl1_->setCurrentIndex(form.active_page());
  connect(PageControl1_, &QTabWidget::currentChanged, this, [this](int index) {
    if (index >= 0) core_.form().PageControl1Change(index);
  });
  on_page_ = form.changes.Subscribe(ModelChange::kActivePage, [this] {
    const QSignalBlocker quiet(PageControl1_);
    PageControl1_->setCurrentIndex(core_.form().active_page());
  });
  on_settings_ = form.changes.Subscribe(ModelChange::kSettings, [this] { ApplyLanguage(); });
  ApplyLanguage();
}

TKorvanFM::~TKorvanFM() = default;

void TKorvanFM::ShowPage(int index) { PageControl1_->setCurrentIndex(index); }

void TKorvanFM::ApplyLanguage() {
  const LanguageState& language = core_.language();
  // A new font lays the whole window out again: only when it changes.
  if (const QFont wanted = LanguageFont(core_, QApplication::font()); font() != wanted) setFont(wanted);
  ApplyCaptions(*this, language.captions.main_form, core_);
  protocols_->ApplyGridTitles();
  setup_->ApplyLanguage();
  communication_->Refresh();  // the edit button and the LAN item
  NameUnlabelledControls();
}

// Controls that show no caption of their own are named by their group, or
// by their page; buttons and check boxes without a translatable caption by
// the text they show.
void TKorvanFM::NameUnlabelledControls() {
  for (QWidget* control : PageControl1_->findChildren<QWidget*>()) {
    if (!(control->focusPolicy() & Qt::TabFocus)) continue;
    if (!control->accessibleName().isEmpty() && !control->property(kDerivedName).toBool()) continue;
    QString name;
    if (auto* button = qobject_cast<QAbstractButton*>(control); button != nullptr && !button->text().isEmpty()) {
      name = PlainCaption(button->text());
    }
    for (QWidget* up = control->parentWidget(); name.isEmpty() && up != nullptr; up = up->parentWidget()) {
      if (auto* group = qobject_cast<QGroupBox*>(up)) {
        name = PlainCaption(group->title());
      } else if (const int tab = PageControl1_->indexOf(up); tab >= 0) {
        name = PlainCaption(PageControl1_->tabText(tab));
      }
    }
    if (name.isEmpty()) continue;
    control->setAccessibleName(name);
    control->setProperty(kDerivedName, true);
  }
  PageControl1_->setAccessibleName(QStringLiteral("KORVAN"));
  PageControl1_->tabBar()->setAccessibleName(QStringLiteral("KORVAN"));
}

void TKorvanFM::closeEvent(QCloseEvent* event) {
  // The window never ends the program.
  event->ignore();
  if (close_behaviour_ == CloseBehaviour::kHideToTray) {
    hide();
  } else {
    showMinimized();
  }
}

void TKorvanFM::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) core_.form().StopAlarm();  // FormActivate
}

void TKorvanFM::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (centred_) return;
  centred_ = true;
  if (const QScreen* screen = this->screen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
}

}  // namespace korvan::gui
