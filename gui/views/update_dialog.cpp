#include "gui/views/update_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "gui/views/captions.h"
#include "gui/views/widget_text.h"

namespace korvan::gui {
namespace {

constexpr int kMemoMargin = 5;
constexpr int kHelpPanelHeight = 26;
constexpr int kBottomPanelHeight = 60;
constexpr int kButtonWidth = 75;

template <typename T>
T* Named(const char* name, QWidget* parent) {
  auto* widget = new T(parent);
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

// The memo's lines end in CR LF, or in a bare CR where a language file
// wrote #13; the widget wants LF.
QString MemoLines(QString text) {
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return text;
}

}  // namespace

TUpdateFM::TUpdateFM(const UpdateDialogRequest& request, const ClientCore* core, QWidget* parent)
    : QDialog(parent), total_size_(request.total_size) {
  const auto text = [core](const std::string& bytes) {
    return core != nullptr ? WidgetText(bytes, *core) : DecodeCodePage(bytes, CodePage::k1250);
  };
  setObjectName(QStringLiteral("UpdateFM"));
  setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setModal(true);
  if (core != nullptr) setFont(LanguageFont(*core, QApplication::font()));
  setWindowTitle(text(request.caption));
  setAccessibleName(windowTitle());

  Memo1_ = Named<QPlainTextEdit>("Memo1", this);
  Memo1_->setReadOnly(true);
  Memo1_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  QPalette face = Memo1_->palette();
  face.setColor(QPalette::Base, face.color(QPalette::Button));
  Memo1_->setPalette(face);
  Memo1_->setPlainText(MemoLines(text(request.memo)));
  Memo1_->setAccessibleName(windowTitle());

  HelpPanel_ = Named<QWidget>("HelpPanel", this);
  HelpPanel_->setFixedHeight(kHelpPanelHeight);
  UpdateHelp_ = Named<QCheckBox>("UpdateHelp", HelpPanel_);
  UpdateHelp_->setText(text(request.help_text));
  UpdateHelp_->setAccessibleName(PlainCaption(UpdateHelp_->text()));
  UpdateHelp_->setChecked(true);
  auto* line = Named<QFrame>("HelpPanelLine", HelpPanel_);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  auto* help = new QVBoxLayout(HelpPanel_);
  help->setContentsMargins(kMemoMargin, 0, kMemoMargin, 0);
  help->setSpacing(0);
  help->addWidget(UpdateHelp_, 1);
  help->addWidget(line);
  HelpPanel_->setAccessibleName(UpdateHelp_->accessibleName());
  HelpPanel_->setVisible(request.help_due);

  auto* bottom = Named<QWidget>("BottomPanel", this);
  bottom->setFixedHeight(kBottomPanelHeight);
  UpdateQuery_ = Named<QLabel>("_UpdateQuery", bottom);
  UpdateQuery_->setText(text(request.question));
  UpdateQuery_->setAlignment(Qt::AlignCenter);
  UpdateQuery_->setWordWrap(true);
  UpdateQuery_->setAccessibleName(UpdateQuery_->text());
  bottom->setAccessibleName(UpdateQuery_->text());
  btnYes_ = Named<QPushButton>("btnYes", bottom);
  btnYes_->setText(text(request.yes_text));
  btnYes_->setAccessibleName(PlainCaption(btnYes_->text()));
  btnYes_->setDefault(true);
  btnYes_->setMinimumWidth(kButtonWidth);
  btnNo_ = Named<QPushButton>("btnNo", bottom);
  btnNo_->setText(text(request.no_text));
  btnNo_->setAccessibleName(PlainCaption(btnNo_->text()));
  btnNo_->setMinimumWidth(kButtonWidth);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(btnYes_);
  buttons->addSpacing(kMemoMargin * 2);
  buttons->addWidget(btnNo_);
  buttons->addStretch(1);
  auto* query = new QVBoxLayout(bottom);
  query->setContentsMargins(kMemoMargin, kMemoMargin, kMemoMargin, kMemoMargin);
  query->addWidget(UpdateQuery_, 1);
  query->addLayout(buttons);

  auto* memo = new QVBoxLayout;
  memo->setContentsMargins(kMemoMargin, kMemoMargin, kMemoMargin, kMemoMargin);
  memo->addWidget(Memo1_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addLayout(memo, 1);
  layout->addWidget(HelpPanel_);
  layout->addWidget(bottom);

  connect(UpdateHelp_, &QCheckBox::toggled, this, [this] { UpdateHelpClick(); });
  connect(btnYes_, &QPushButton::clicked, this, &QDialog::accept);
  connect(btnNo_, &QPushButton::clicked, this, &QDialog::reject);
  resize(kUpdateDialogWidth, kUpdateDialogHeight);
  btnYes_->setFocus();
}

void TUpdateFM::UpdateHelpClick() {
  // With program files to fetch, Yes makes sense with or without the help;
  // with nothing else due, Yes without the help would fetch nothing.
  if (total_size_ != 0) return;
  btnYes_->setEnabled(UpdateHelp_->isChecked());
}

UpdateDialogAnswer TUpdateFM::Run() {
  exec();
  return Answer();
}

UpdateDialogAnswer TUpdateFM::Answer() const {
  return UpdateDialogAnswer{result() == QDialog::Accepted, UpdateHelp_->isChecked()};
}

void TUpdateFM::showEvent(QShowEvent* event) {
  // Centred on the screen, not over the owner: the owner may be hidden in
  // the tray, or on another screen.
  if (!centred_) {
    centred_ = true;
    if (QScreen* shown_on = screen(); shown_on != nullptr) {
      QRect frame = frameGeometry();
      frame.moveCenter(shown_on->availableGeometry().center());
      move(frame.topLeft());
    }
  }
  QDialog::showEvent(event);
}

}  // namespace korvan::gui
