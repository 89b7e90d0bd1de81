// The page "Komunikace": account, server, accepted addresses, parent proxy,
// the system connections, and the edit / save / reset buttons. The widgets
// show the form's connection page and write what the user changes straight
// back into it; which controls are enabled is the form's decision.
//
// Thread rule: GUI thread only.
#pragma once

#include <QWidget>

#include "shell/model_changes.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;

namespace korvan {
class ClientCore;
}

namespace korvan::gui {

class CommunicationPage : public QWidget {
  Q_OBJECT

 public:
  CommunicationPage(ClientCore& core, QWidget* parent);

  // Shows the model's state.
  void Refresh();

 private:
  void BuildConnections();

  ClientCore& core_;
  QSpinBox* IDSE_;
  QLineEdit* PassEL_;
  QComboBox* ServerCB_;
  QLineEdit* AcceptIPEL_;
  QCheckBox* UseParentProxy_;
  QLineEdit* ParentProxyE_;
  QSpinBox* ParentPortSE_;
  QLineEdit* PPUserE_;
  QLineEdit* PPPassE_;
  QListWidget* ConnectionsLB_;
  QLabel* KORVANService_;
  QPushButton* Button1_;
  QPushButton* btnSave_;
  QPushButton* ResetConn_;
  bool refreshing_ = false;
  Subscription on_settings_;
  Subscription on_edit_mode_;
};

}  // namespace korvan::gui
