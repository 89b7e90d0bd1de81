#include "gui/views/traffic_chart_view.h"

#include <algorithm>

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QLegend>
#include <QPen>
#include <QLineSeries>
#include <QValueAxis>
#include <QVBoxLayout>

#include "gui/views/captions.h"
#include "shell/client_core.h"

namespace korvan::gui {
namespace {

struct SeriesLook {
  TrafficChart::Series series;
  const char* legend_control;  // the caption that names it in the legend
  QColor colour;
};

// Areas first, so that the lines are drawn over them.
constexpr int kAreas = 2;
const std::array<SeriesLook, 4> kLooks = {{
    {TrafficChart::kReceived, "_chartReceived", QColor(0x00, 0xFF, 0xFF)},             // aqua
    {TrafficChart::kReceivedCompressed, "_chartReceivedKORVAN", QColor(0x00, 0x80, 0x80)},  // teal
    {TrafficChart::kSent, "_chartSent", QColor(0xFF, 0x00, 0x00)},                     // red
    {TrafficChart::kSentCompressed, "_chartSentKORVAN", QColor(0x00, 0x80, 0x00)},     // green
}};

}  // namespace

TrafficChartView::TrafficChartView(ClientCore& core, QWidget* parent)
    : QWidget(parent), core_(core), chart_(new QChart), view_(new QChartView(chart_, this)) {
  setObjectName(QStringLiteral("Chart"));
  chart_->setMargins(QMargins(2, 2, 2, 2));
  chart_->setBackgroundRoundness(0);
  chart_->legend()->setAlignment(Qt::AlignBottom);
  x_axis_ = new QValueAxis(chart_);
  x_axis_->setRange(0, static_cast<double>(TrafficChart::kBuckets - 1));
  x_axis_->setLabelsVisible(false);
  x_axis_->setTickCount(7);
  y_axis_ = new QValueAxis(chart_);
  y_axis_->setLabelFormat(QStringLiteral("%.1f"));
  y_axis_->setTickCount(3);
  y_axis_->setTitleText(QStringLiteral("KiB/s"));
  chart_->addAxis(x_axis_, Qt::AlignBottom);
  chart_->addAxis(y_axis_, Qt::AlignLeft);

  for (std::size_t i = 0; i < kLooks.size(); ++i) {
    lines_[i] = new QLineSeries(chart_);
    if (i < kAreas) {
      areas_[i] = new QAreaSeries(lines_[i]);
      areas_[i]->setColor(kLooks[i].colour);
      areas_[i]->setBorderColor(kLooks[i].colour.darker(130));
      chart_->addSeries(areas_[i]);
      areas_[i]->attachAxis(x_axis_);
      areas_[i]->attachAxis(y_axis_);
    } else {
      QPen pen(kLooks[i].colour);
      pen.setWidth(2);
      lines_[i]->setPen(pen);
      chart_->addSeries(lines_[i]);
      lines_[i]->attachAxis(x_axis_);
      lines_[i]->attachAxis(y_axis_);
    }
  }
  view_->setRenderHint(QPainter::Antialiasing);
  view_->setMinimumHeight(170);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(view_);

  KorvanForm& form = core_.form();
  on_chart_ = form.changes.Subscribe(ModelChange::kChart, [this] { Redraw(); });
  on_settings_ = form.changes.Subscribe(ModelChange::kSettings, [this] { ApplyLegends(); });
  ApplyLegends();
  Redraw();
}

TrafficChartView::~TrafficChartView() = default;

QList<QPointF> TrafficChartView::Points(int index) const {
  if (index < 0 || index >= static_cast<int>(lines_.size())) return {};
  return lines_[static_cast<std::size_t>(index)]->points();
}

void TrafficChartView::Redraw() {
  const TrafficChart& model = core_.form().chart;
  double top = 1;  // KiB/s: an idle chart still has a scale
  for (std::size_t i = 0; i < kLooks.size(); ++i) {
    const TrafficChart::Points& values = model.series(kLooks[i].series);
    QList<QPointF> points;
    points.reserve(static_cast<qsizetype>(values.size()));
    for (std::size_t x = 0; x < values.size(); ++x) {
      points.append(QPointF(static_cast<double>(x), values[x]));
      top = std::max(top, values[x]);
    }
    lines_[i]->replace(points);
  }
  y_axis_->setRange(0, top * 1.1);
}

void TrafficChartView::ApplyLegends() {
  for (std::size_t i = 0; i < kLooks.size(); ++i) {
    const QString name = PlainCaption(CurrentCaption(core_, kLooks[i].legend_control));
    if (i < kAreas) {
      areas_[i]->setName(name);
    } else {
      lines_[i]->setName(name);
    }
  }
}

}  // namespace korvan::gui
