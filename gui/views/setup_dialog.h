// The port setup dialog `TSetupFM`: the widgets over the form's dialog
// model. Run() is the PortDialogRunner the port table's append and edit
// buttons take: it shows the model's values, lets the user change them and
// closes with OK only when the model's check lets it (a port that another
// row holds is refused with a message box, and the dialog stays open).
//
// Thread rule: GUI thread only.
#pragma once

#include <QDialog>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QSpinBox;

namespace korvan {
class ClientCore;
class PortSetupDialog;
}

namespace korvan::gui {

class TSetupFM : public QDialog {
  Q_OBJECT

 public:
  TSetupFM(ClientCore& core, QWidget* parent);

  // Shows the dialog modally over `model`; true when closed with OK, with
  // the values written into the model.
  bool Run(PortSetupDialog& model);

  // Title, labels, buttons and font from the current language.
  void ApplyLanguage();

 private:
  void Show(const PortSetupDialog& model);
  void Store(PortSetupDialog& model) const;
  void btnOKClick();

  ClientCore& core_;
  PortSetupDialog* model_ = nullptr;
  bool showing_ = false;
  QSpinBox* LPortSE_;
  QComboBox* ProtocolCB_;
  QSlider* TimeoutS_;
  QLineEdit* HostEL_;
  QSpinBox* CPortSE_;
  QLabel* host_label_;
  QLabel* port_label_;
  QPushButton* btnOK_;
  QPushButton* btnCancel_;
};

}  // namespace korvan::gui
