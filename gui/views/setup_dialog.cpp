#include "gui/views/setup_dialog.h"

#include <QApplication>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>

#include "gui/views/captions.h"
#include "gui/views/widget_text.h"
#include "shell/client_core.h"
#include "shell/port_setup_dialog.h"

namespace korvan::gui {
namespace {

template <typename T>
T* Named(const char* name, QWidget* parent) {
  auto* widget = new T(parent);
  widget->setObjectName(name);
  return widget;
}

QLabel* Caption(const char* name, QWidget* buddy, QWidget* parent) {
  auto* label = Named<QLabel>(name, parent);
  label->setBuddy(buddy);
  return label;
}

}  // namespace

TSetupFM::TSetupFM(ClientCore& core, QWidget* parent) : QDialog(parent), core_(core) {
  setObjectName("SetupFM");
  setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setModal(true);
  const PortSetupDialog& model = core_.form().setup_dialog();

  LPortSE_ = Named<QSpinBox>("LPortSE", this);
  LPortSE_->setRange(model.LPortSE.min(), model.LPortSE.max());
  ProtocolCB_ = Named<QComboBox>("ProtocolCB", this);
  for (const auto& item : model.ProtocolCB.items) ProtocolCB_->addItem(QString::fromLatin1(item.c_str()));
  TimeoutS_ = Named<QSlider>("TimeoutS", this);
  TimeoutS_->setOrientation(Qt::Horizontal);
  TimeoutS_->setRange(model.TimeoutS.min(), model.TimeoutS.max());
  TimeoutS_->setSingleStep(1);
  TimeoutS_->setPageStep(1);
  TimeoutS_->setTickPosition(QSlider::TicksBelow);
  HostEL_ = Named<QLineEdit>("HostEL", this);
  HostEL_->setMaxLength(static_cast<int>(kMaxHostLength));
  CPortSE_ = Named<QSpinBox>("CPortSE", this);
  CPortSE_->setRange(model.CPortSE.min(), model.CPortSE.max());
  btnOK_ = Named<QPushButton>("btnOK", this);
  btnOK_->setDefault(true);
  btnCancel_ = Named<QPushButton>("btnCancel", this);

  host_label_ = Caption("_TargetHost", HostEL_, this);
  port_label_ = Caption("_TargetPort", CPortSE_, this);
  auto* fields = new QFormLayout;
  fields->addRow(Caption("_LocalPort", LPortSE_, this), LPortSE_);
  fields->addRow(Caption("_Protocol", ProtocolCB_, this), ProtocolCB_);
  fields->addRow(Caption("_Timeout", TimeoutS_, this), TimeoutS_);
  fields->addRow(host_label_, HostEL_);
  fields->addRow(port_label_, CPortSE_);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnOK_);
  buttons->addWidget(btnCancel_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(fields);
  layout->addLayout(buttons);

  connect(ProtocolCB_, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (model_ == nullptr || showing_) return;
    Store(*model_);
    model_->ProtocolCB.select(index);
    model_->ProtocolCBChange();
    Show(*model_);
  });
  connect(btnOK_, &QPushButton::clicked, this, [this] { btnOKClick(); });
  connect(btnCancel_, &QPushButton::clicked, this, &QDialog::reject);
  ApplyLanguage();
}

void TSetupFM::Show(const PortSetupDialog& model) {
  showing_ = true;
  LPortSE_->setValue(model.LPortSE.value());
  ProtocolCB_->setCurrentIndex(model.ProtocolCB.index);
  TimeoutS_->setValue(model.TimeoutS.value());
  HostEL_->setText(WidgetText(model.HostEL.text, core_));
  HostEL_->setVisible(model.HostEL.visible);
  CPortSE_->setValue(model.CPortSE.value());
  CPortSE_->setVisible(model.CPortSE.visible);
  host_label_->setVisible(model.host_label_visible);
  port_label_->setVisible(model.port_label_visible);
  showing_ = false;
}

void TSetupFM::Store(PortSetupDialog& model) const {
  model.LPortSE.set_value(LPortSE_->value());
  model.ProtocolCB.select(ProtocolCB_->currentIndex());
  model.TimeoutS.set_value(TimeoutS_->value());
  model.HostEL.text = ByteText(HostEL_->text(), core_);
  model.CPortSE.set_value(CPortSE_->value());
}

void TSetupFM::btnOKClick() {
  if (model_ == nullptr) return;
  Store(*model_);
  if (const auto refusal = model_->btnOKClick(core_.form().ports())) {
    // Window-modal, so the dialog stays open behind it.
    auto* box = new QMessageBox(QMessageBox::Critical, QString(), WidgetText(*refusal, core_), QMessageBox::Ok, this);
    box->setObjectName("SetupRefusal");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return;
  }
  accept();
}

bool TSetupFM::Run(PortSetupDialog& model) {
  model_ = &model;
  Show(model);
  LPortSE_->setFocus();
  LPortSE_->selectAll();
  const bool ok = exec() == QDialog::Accepted;
  model_ = nullptr;
  return ok;
}

void TSetupFM::ApplyLanguage() {
  const LanguageState& language = core_.language();
  ApplyCaptions(*this, language.captions.port_setup, core_);
  setWindowTitle(language.captions.port_setup_title ? WidgetText(*language.captions.port_setup_title, core_)
                                                    : DesignPortSetupTitle());
  setAccessibleName(windowTitle());
  btnOK_->setText(WidgetText(core_.texts().Text(TextKey::btnOK), core_));
  btnOK_->setAccessibleName(PlainCaption(btnOK_->text()));
  btnCancel_->setText(WidgetText(core_.texts().Text(TextKey::btnCancel), core_));
  btnCancel_->setAccessibleName(PlainCaption(btnCancel_->text()));
  if (const QFont wanted = LanguageFont(core_, QApplication::font()); font() != wanted) setFont(wanted);
  update();
}

}  // namespace korvan::gui
