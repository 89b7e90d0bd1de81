#include "gui/views/messages_page.h"

#include <QDesktopServices>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

#include "gui/views/captions.h"
#include "gui/views/widget_text.h"
#include "shell/client_core.h"

namespace korvan::gui {
namespace {

QLabel* LinkLabel(const char* name, const QString& text, const char* target, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setText(QStringLiteral("<a href=\"%1\">%2</a>").arg(QString::fromLatin1(target), text.toHtmlEscaped()));
  label->setTextFormat(Qt::RichText);
  label->setFocusPolicy(Qt::TabFocus);
  label->setAccessibleName(text);
  // The desktop's default handler opens it (browser, mail program).
  label->setOpenExternalLinks(false);
  QObject::connect(label, &QLabel::linkActivated, label, [](const QString& link) { QDesktopServices::openUrl(QUrl(link)); });
  return label;
}

}  // namespace

GaugeRange ScaleGauge(const ProgressGauge& gauge) {
  // A range of 0..0 would make the bar a busy indicator; an empty gauge
  // shows empty instead.
  if (gauge.max <= 0) return GaugeRange{1, 0};
  const std::int64_t position = std::clamp<std::int64_t>(gauge.position, 0, gauge.max);
  constexpr std::int64_t kLimit = std::numeric_limits<int>::max();
  // Downloads beyond 2 GiB: both ends divided alike, so the bar keeps its
  // proportion.
  const std::int64_t divisor = (gauge.max - 1) / kLimit + 1;
  return GaugeRange{static_cast<int>(gauge.max / divisor), static_cast<int>(position / divisor)};
}

MessagesPageView::MessagesPageView(ClientCore& core, QWidget* parent) : QWidget(parent), core_(core) {
  setObjectName(QStringLiteral("_tsMessages"));
  Memo1_ = new QPlainTextEdit(this);
  Memo1_->setObjectName(QStringLiteral("Memo1"));
  Memo1_->setReadOnly(true);
  Memo1_->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo1_->viewport()->installEventFilter(this);

  ClearLog_ = new QPushButton(this);
  ClearLog_->setObjectName(QStringLiteral("_ClearLog"));
  HTTPAddr_ = LinkLabel("HTTPAddr", QString::fromLatin1(kProductWebPage).remove(QStringLiteral("https://")),
                        kProductWebPage, this);
  Label26_ = LinkLabel("Label26", QString::fromLatin1(kHelpDeskMail).remove(QStringLiteral("mailto:")),
                       kHelpDeskMail, this);

  CheckNewUpdate_ = new QPushButton(this);
  CheckNewUpdate_->setObjectName(QStringLiteral("CheckNewUpdate"));
  UpdatePrgrP_ = new QWidget(this);
  UpdatePrgrP_->setObjectName(QStringLiteral("UpdatePrgrP"));
  UpdatePrgr_ = new QProgressBar(UpdatePrgrP_);
  UpdatePrgr_->setObjectName(QStringLiteral("UpdatePrgr"));
  auto* gauge = new QHBoxLayout(UpdatePrgrP_);
  gauge->setContentsMargins(0, 0, 0, 0);
  gauge->addWidget(UpdatePrgr_);
  UpdatePrgrP_->setVisible(false);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(HTTPAddr_);
  buttons->addWidget(Label26_);
  buttons->addStretch(1);
  buttons->addWidget(CheckNewUpdate_);
  buttons->addWidget(ClearLog_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Memo1_, 1);
  layout->addWidget(UpdatePrgrP_);
  layout->addLayout(buttons);

  connect(ClearLog_, &QPushButton::clicked, this, [this] { core_.form().ClearLogClick(); });
  connect(CheckNewUpdate_, &QPushButton::clicked, this, [this] { core_.CheckNewUpdateClick(); });
  KorvanForm& form = core_.form();
  on_log_ = form.changes.Subscribe(ModelChange::kLog, [this] { ShowLog(); });
  // A language change may change the code page the button's text is in.
  on_settings_ = form.changes.Subscribe(ModelChange::kSettings, [this] { ShowUpdate(); });
  on_update_ = form.changes.Subscribe(ModelChange::kUpdate, [this] { ShowUpdate(); });
  ShowUpdate();
  ShowLog();
}

MessagesPageView::~MessagesPageView() = default;

bool MessagesPageView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Memo1_->viewport() && event->type() == QEvent::MouseButtonPress) core_.form().StopAlarm();
  return QWidget::eventFilter(watched, event);
}

void MessagesPageView::ShowLog() {
  // The log only grows, or is cleared: new lines are appended, so that a
  // long log costs nothing per line.
  const std::string& memo = core_.form().log().memo();
  if (memo.size() < shown_bytes_) {
    Memo1_->clear();
    shown_bytes_ = 0;
  }
  // The memo's lines end in CR LF; the widget wants one paragraph per line.
  QString added = WidgetText(std::string_view(memo).substr(shown_bytes_), core_);
  shown_bytes_ = memo.size();
  added.remove(QLatin1Char('\r'));
  if (added.endsWith(QLatin1Char('\n'))) added.chop(1);
  if (!added.isEmpty()) Memo1_->appendPlainText(added);
  // The end shows, as the model's selection says.
  Memo1_->moveCursor(QTextCursor::End);
  Memo1_->verticalScrollBar()->setValue(Memo1_->verticalScrollBar()->maximum());
}

void MessagesPageView::ShowUpdate() {
  const KorvanForm& form = core_.form();
  // Until the updater has named the button, it is the check button of the
  // current language.
  const std::string& text = form.CheckNewUpdate.text;
  CheckNewUpdate_->setText(WidgetText(text.empty() ? core_.texts().Text(TextKey::btnCheckNewUpdate) : text, core_));
  CheckNewUpdate_->setAccessibleName(PlainCaption(CheckNewUpdate_->text()));
  CheckNewUpdate_->setEnabled(form.CheckNewUpdate.enabled);
  UpdatePrgrP_->setVisible(form.UpdatePrgrPVisible);
  const GaugeRange gauge = ScaleGauge(form.UpdatePrgr);
  UpdatePrgr_->setRange(0, gauge.max);
  UpdatePrgr_->setValue(gauge.position);
}

}  // namespace korvan::gui
