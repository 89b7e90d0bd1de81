// The one-minute throughput chart of the statistics page: the received
// bytes as two areas (as delivered, and as they came through the tunnel),
// the sent bytes as two lines, over the model's 61 points in KiB per
// second. Redrawn when the model's chart moves on a second; legends follow
// the language.
//
// Thread rule: GUI thread only.
#pragma once

#include <array>

#include <QWidget>

#include "shell/model_changes.h"

class QAreaSeries;
class QChart;
class QChartView;
class QLineSeries;
class QValueAxis;

namespace korvan {
class ClientCore;
}

namespace korvan::gui {

class TrafficChartView : public QWidget {
  Q_OBJECT

 public:
  explicit TrafficChartView(ClientCore& core, QWidget* parent = nullptr);
  ~TrafficChartView() override;

  // The points now drawn for series `index` (0 received, 1 received through
  // the tunnel, 2 sent, 3 sent through the tunnel).
  QList<QPointF> Points(int index) const;
  QChart& chart() { return *chart_; }

 private:
  void Redraw();
  void ApplyLegends();

  ClientCore& core_;
  QChart* chart_;
  QChartView* view_;
  // The upper boundaries of the two areas, then the two lines.
  std::array<QLineSeries*, 4> lines_{};
  std::array<QAreaSeries*, 2> areas_{};
  QValueAxis* x_axis_;
  QValueAxis* y_axis_;
  Subscription on_chart_;
  Subscription on_settings_;
};

}  // namespace korvan::gui
