#include "gui/views/communication_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "gui/views/captions.h"
#include "gui/views/widget_text.h"
#include "shell/client_core.h"

namespace korvan::gui {
namespace {

QLabel* Caption(const char* name, QWidget* buddy, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  label->setBuddy(buddy);
  return label;
}

template <typename T>
T* Named(const char* name, QWidget* parent) {
  auto* widget = new T(parent);
  widget->setObjectName(name);
  return widget;
}

void SetText(QLineEdit* edit, const QString& text) {
  if (edit->text() != text) edit->setText(text);
}

}  // namespace

CommunicationPage::CommunicationPage(ClientCore& core, QWidget* parent) : QWidget(parent), core_(core) {
  setObjectName("_tsCommunication");
  KorvanForm& form = core_.form();

  auto* setup = Named<QGroupBox>("_ConnectionSetup", this);
  IDSE_ = Named<QSpinBox>("IDSE", setup);
  IDSE_->setRange(form.communication.IDSE.min(), form.communication.IDSE.max());
  PassEL_ = Named<QLineEdit>("PassEL", setup);
  PassEL_->setEchoMode(QLineEdit::Password);
  ServerCB_ = Named<QComboBox>("ServerCB", setup);
  AcceptIPEL_ = Named<QLineEdit>("AcceptIPEL", setup);
  UseParentProxy_ = Named<QCheckBox>("_UseParentProxy", setup);
  ParentProxyE_ = Named<QLineEdit>("ParentProxyE", setup);
  ParentPortSE_ = Named<QSpinBox>("ParentPortSE", setup);
  ParentPortSE_->setRange(form.communication.ParentPortSE.min(), form.communication.ParentPortSE.max());
  PPUserE_ = Named<QLineEdit>("PPUserE", setup);
  PPPassE_ = Named<QLineEdit>("PPPassE", setup);
  PPPassE_->setEchoMode(QLineEdit::Password);

  auto* fields = new QFormLayout(setup);
  fields->addRow(Caption("_UserID", IDSE_, setup), IDSE_);
  fields->addRow(Caption("_password", PassEL_, setup), PassEL_);
  fields->addRow(Caption("_Server", ServerCB_, setup), ServerCB_);
  fields->addRow(Caption("_AcceptIP", AcceptIPEL_, setup), AcceptIPEL_);
  fields->addRow(UseParentProxy_);
  fields->addRow(Caption("_ppAdress", ParentProxyE_, setup), ParentProxyE_);
  fields->addRow(Caption("_ppPort", ParentPortSE_, setup), ParentPortSE_);
  fields->addRow(Caption("_ppUser", PPUserE_, setup), PPUserE_);
  fields->addRow(Caption("_ppPassword", PPPassE_, setup), PPPassE_);

  auto* automatic = Named<QGroupBox>("_AutomaticSetup", this);
  ConnectionsLB_ = Named<QListWidget>("ConnectionsLB", automatic);
  // Behind the list: shown in service mode, where the list is hidden.
  KORVANService_ = Named<QLabel>("_KORVANService", automatic);
  KORVANService_->setWordWrap(true);
  auto* automatic_layout = new QVBoxLayout(automatic);
  automatic_layout->addWidget(ConnectionsLB_);
  automatic_layout->addWidget(KORVANService_);

  Button1_ = Named<QPushButton>("Button1", this);
  btnSave_ = Named<QPushButton>("_btnSave", this);
  ResetConn_ = Named<QPushButton>("_ResetConn", this);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(Button1_);
  buttons->addWidget(btnSave_);
  buttons->addStretch();
  buttons->addWidget(ResetConn_);

  auto* columns = new QHBoxLayout;
  columns->addWidget(setup, 3);
  columns->addWidget(automatic, 2);
  auto* page = new QVBoxLayout(this);
  page->addLayout(columns);
  page->addLayout(buttons);

  // What the user changes goes into the form at once; Save commits it.
  ConnectionPage& model = form.communication;
  connect(IDSE_, &QSpinBox::valueChanged, this, [this, &model](int value) {
    if (!refreshing_) model.IDSE.set_value(value);
  });
  const auto bind_edit = [this](QLineEdit* edit, EditBox& box) {
    connect(edit, &QLineEdit::textEdited, this, [this, &box](const QString& text) {
      if (!refreshing_) box.text = ByteText(text, core_);
    });
  };
  bind_edit(PassEL_, model.PassEL);
  bind_edit(AcceptIPEL_, model.AcceptIPEL);
  bind_edit(ParentProxyE_, model.ParentProxyE);
  bind_edit(PPUserE_, model.PPUserE);
  bind_edit(PPPassE_, model.PPPassE);
  connect(ServerCB_, &QComboBox::currentIndexChanged, this, [this, &model](int index) {
    if (!refreshing_) model.ServerCB.select(index);
  });
  connect(ParentPortSE_, &QSpinBox::valueChanged, this, [this, &model](int value) {
    if (!refreshing_) model.ParentPortSE.set_value(value);
  });
  connect(UseParentProxy_, &QCheckBox::toggled, this, [this, &model](bool on) {
    if (refreshing_) return;
    model.UseParentProxy.checked = on;
    core_.form().UseParentProxyClick();
  });
  connect(ConnectionsLB_, &QListWidget::itemChanged, this, [this, &model](QListWidgetItem* item) {
    if (refreshing_) return;
    const int row = ConnectionsLB_->row(item);
    if (row < 0 || static_cast<std::size_t>(row) >= model.ConnectionsLB.items.size()) return;
    model.ConnectionsLB.items[static_cast<std::size_t>(row)].checked = item->checkState() == Qt::Checked;
  });
  connect(Button1_, &QPushButton::clicked, this, [this] { core_.form().Button1Click(true); });
  connect(btnSave_, &QPushButton::clicked, this, [this] { core_.form().btnSaveClick(); });
  connect(ResetConn_, &QPushButton::clicked, this, [this] { core_.form().ResetConnClick(); });

  on_settings_ = form.changes.Subscribe(ModelChange::kSettings, [this] { Refresh(); });
  on_edit_mode_ = form.changes.Subscribe(ModelChange::kEditMode, [this] { Refresh(); });
  Refresh();
}

void CommunicationPage::BuildConnections() {
  const auto& items = core_.form().communication.ConnectionsLB.items;
  while (ConnectionsLB_->count() > static_cast<int>(items.size())) delete ConnectionsLB_->takeItem(ConnectionsLB_->count() - 1);
  while (ConnectionsLB_->count() < static_cast<int>(items.size())) {
    auto* item = new QListWidgetItem(ConnectionsLB_);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    QListWidgetItem* item = ConnectionsLB_->item(static_cast<int>(i));
    const QString text = WidgetText(items[i].text, core_);
    if (item->text() != text) item->setText(text);
    const Qt::CheckState state = items[i].checked ? Qt::Checked : Qt::Unchecked;
    if (item->checkState() != state) item->setCheckState(state);
  }
}

void CommunicationPage::Refresh() {
  const ConnectionPage& model = core_.form().communication;
  refreshing_ = true;

  IDSE_->setValue(model.IDSE.value());
  IDSE_->setEnabled(model.IDSE.enabled);
  SetText(PassEL_, WidgetText(model.PassEL.text, core_));
  PassEL_->setEnabled(model.PassEL.enabled);

  if (ServerCB_->count() != static_cast<int>(model.ServerCB.items.size())) {
    ServerCB_->clear();
    for (const auto& item : model.ServerCB.items) ServerCB_->addItem(WidgetText(item, core_));
  }
  ServerCB_->setCurrentIndex(model.ServerCB.index);
  ServerCB_->setEnabled(model.ServerCB.enabled);
  SetText(AcceptIPEL_, WidgetText(model.AcceptIPEL.text, core_));
  AcceptIPEL_->setEnabled(model.AcceptIPEL.enabled);

  UseParentProxy_->setChecked(model.UseParentProxy.checked);
  UseParentProxy_->setEnabled(model.UseParentProxy.enabled);
  SetText(ParentProxyE_, WidgetText(model.ParentProxyE.text, core_));
  ParentProxyE_->setEnabled(model.ParentProxyE.enabled);
  ParentPortSE_->setValue(model.ParentPortSE.value());
  ParentPortSE_->setEnabled(model.ParentPortSE.enabled);
  SetText(PPUserE_, WidgetText(model.PPUserE.text, core_));
  PPUserE_->setEnabled(model.PPUserE.enabled);
  SetText(PPPassE_, WidgetText(model.PPPassE.text, core_));
  PPPassE_->setEnabled(model.PPPassE.enabled);

  BuildConnections();
  ConnectionsLB_->setEnabled(model.ConnectionsLB.enabled);
  ConnectionsLB_->setVisible(model.ConnectionsLB.visible);
  KORVANService_->setVisible(!model.ConnectionsLB.visible);

  Button1_->setText(WidgetText(model.Button1.text, core_));
  Button1_->setAccessibleName(PlainCaption(Button1_->text()));
  Button1_->setEnabled(model.Button1.enabled);
  btnSave_->setEnabled(model.btnSave.enabled);
  ResetConn_->setEnabled(model.ResetConn.enabled);
  refreshing_ = false;
}

}  // namespace korvan::gui
