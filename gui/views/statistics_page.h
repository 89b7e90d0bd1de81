// The statistics page `_tsStatistics`: the nine size fields (sent,
// received and total, each as original, compressed and saved), the
// account's dates and credit, the open connections, the `_UpdateInfo`
// button that asks the server for the account's state, and the chart.
// Every field shows the model's texts (`ShowStatistics`).
//
// Thread rule: GUI thread only.
#pragma once

#include <string>

#include <QWidget>

#include "shell/model_changes.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace korvan {
class ClientCore;
}

namespace korvan::gui {

class TrafficChartView;

class StatisticsPageView : public QWidget {
  Q_OBJECT

 public:
  StatisticsPageView(ClientCore& core, QWidget* parent);
  ~StatisticsPageView() override;

  TrafficChartView& chart() { return *chart_; }

 private:
  QLineEdit* SizeField(const char* name);
  void ShowTexts();
  void ShowConnections();

  ClientCore& core_;
  // Rows sent, received, total; columns original, compressed, saved.
  QLineEdit* fields_[3][3] = {};
  QLabel* PredplacenoL_;
  QLabel* PlatnostL_;
  QLabel* credit_caption_;
  QLabel* credit_value_;
  QLabel* ConnectionL_;
  QPushButton* UpdateInfo_;
  TrafficChartView* chart_;
  Subscription on_statistics_;
  Subscription on_connections_;
  Subscription on_settings_;
};

}  // namespace korvan::gui
