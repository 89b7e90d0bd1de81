// The page "Protokoly": the port table as a grid, and the buttons that add,
// edit and delete rows through the port setup dialog.
//
// Thread rule: GUI thread only.
#pragma once

#include <QWidget>

#include "shell/model_changes.h"

class QPushButton;
class QTableWidget;

namespace korvan {
class ClientCore;
}

namespace korvan::gui {

class TSetupFM;

class ProtocolsPage : public QWidget {
  Q_OBJECT

 public:
  ProtocolsPage(ClientCore& core, TSetupFM& dialog, QWidget* parent);

  void Refresh();
  // Column titles from the current language.
  void ApplyGridTitles();
  QTableWidget& grid() { return *grid_; }

 private:
  int CurrentRow() const;

  ClientCore& core_;
  TSetupFM& dialog_;
  QTableWidget* grid_;
  QPushButton* btnAppend_;
  QPushButton* btnEdit_;
  QPushButton* btnDelete_;
  Subscription on_ports_;
};

}  // namespace korvan::gui
