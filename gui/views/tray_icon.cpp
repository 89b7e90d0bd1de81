#include "gui/views/tray_icon.h"

#include <QAction>
#include <QFont>
#include <QMenu>
#include <QPainter>
#include <QPixmap>

#include "gui/views/main_window.h"
#include "gui/views/widget_text.h"
#include "shell/client_core.h"

namespace korvan::gui {
namespace {

constexpr int kBlinkMs = 500;

}  // namespace

QIcon DrawTrayPicture(bool alarm) {
  QIcon icon;
  for (const int side : {16, 22, 32, 48}) {
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(alarm ? QColor(0xD0, 0x20, 0x20) : QColor(0x1E, 0x5A, 0xA8));
    painter.drawEllipse(QRectF(0.5, 0.5, side - 1.0, side - 1.0));
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(side * 2 / 3);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRect(0, 0, side, side), Qt::AlignCenter, QStringLiteral("K"));
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

TrayIconView::TrayIconView(ClientCore& core, TKorvanFM& window, QObject* parent)
    : QObject(parent), core_(core), window_(window), icon_(new QSystemTrayIcon(this)), PopupMenu1_(new QMenu) {
  setObjectName(QStringLiteral("TrayIcon"));
  PopupMenu1_->setObjectName(QStringLiteral("PopupMenu1"));
  miShow_ = PopupMenu1_->addAction(QString());
  miShow_->setObjectName(QStringLiteral("miShow"));
  QFont bold = miShow_->font();
  bold.setBold(true);  // the default item
  miShow_->setFont(bold);
  PopupMenu1_->addSeparator()->setObjectName(QStringLiteral("N1"));
  miRestart_ = PopupMenu1_->addAction(QString());
  miRestart_->setObjectName(QStringLiteral("miRestart"));
  miClose_ = PopupMenu1_->addAction(QString());
  miClose_->setObjectName(QStringLiteral("miClose"));
  icon_->setContextMenu(PopupMenu1_);

  pictures_ = {DrawTrayPicture(false), DrawTrayPicture(true)};
  icon_->setIcon(pictures_[0]);
  blink_.setInterval(kBlinkMs);
  connect(&blink_, &QTimer::timeout, this, [this] { Blink(); });

  connect(miShow_, &QAction::triggered, this, [this] { miShowClick(); });
  connect(miRestart_, &QAction::triggered, this, [this] { core_.miRestartClick(); });
  connect(miClose_, &QAction::triggered, this, [this] { core_.miCloseClick(); });
  connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick) miShowClick();
  });

  KorvanForm& form = core_.form();
  on_settings_ = form.changes.Subscribe(ModelChange::kSettings, [this] { ApplyTexts(); });
  on_statistics_ = form.changes.Subscribe(ModelChange::kStatistics, [this] { ShowHint(); });
  on_alarm_ = form.changes.Subscribe(ModelChange::kAlarm, [this] { FollowAlarm(); });
  ApplyTexts();
  ShowHint();
  FollowAlarm();
  icon_->show();
}

TrayIconView::~TrayIconView() {
  icon_->hide();
  delete PopupMenu1_;  // a menu has no QObject parent of its own here
}

bool TrayIconView::Available() { return QSystemTrayIcon::isSystemTrayAvailable(); }

void TrayIconView::miShowClick() {
  core_.form().miShowClick();
  if (window_.isMinimized()) window_.showNormal();
  window_.show();
  window_.raise();
  window_.activateWindow();
}

void TrayIconView::ApplyTexts() {
  const TextTable& texts = core_.texts();
  miShow_->setText(WidgetText(texts.Text(TextKey::TrayShow), core_));
  miRestart_->setText(WidgetText(texts.Text(TextKey::TrayRestart), core_));
  miClose_->setText(WidgetText(texts.Text(TextKey::TrayEnd), core_));
  ShowHint();  // its pattern is a text of the language too
}

void TrayIconView::ShowHint() { icon_->setToolTip(WidgetText(core_.form().statistics_texts.tray_hint, core_)); }

void TrayIconView::FollowAlarm() {
  if (core_.form().alarm()) {
    if (!blink_.isActive()) blink_.start();
    return;
  }
  blink_.stop();
  shown_picture_ = 0;
  icon_->setIcon(pictures_[0]);
}

void TrayIconView::Blink() {
  shown_picture_ = 1 - shown_picture_;
  icon_->setIcon(pictures_[static_cast<std::size_t>(shown_picture_)]);
}

}  // namespace korvan::gui
