#include "gui/views/statistics_page.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/views/traffic_chart_view.h"
#include "gui/views/widget_text.h"
#include "shell/client_core.h"

namespace korvan::gui {
namespace {

QLabel* CaptionLabel(const char* name, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(name));
  return label;
}

}  // namespace

StatisticsPageView::StatisticsPageView(ClientCore& core, QWidget* parent) : QWidget(parent), core_(core) {
  setObjectName(QStringLiteral("_tsStatistics"));

  // The sizes: three columns under their titles, three rows by their labels.
  auto* sizes = new QGridLayout;
  const char* const columns[3] = {"_OriginalSize", "_CompressedSize", "_SavedSize"};
  const char* const rows[3] = {"_SentSize", "_ReceivedSize", "_TotalSize"};
  const char* const names[3][3] = {{"OdeslanoEL", "OdeslanoCEL", "OdeslanoUsporaEL"},
                                   {"PrijatoEL", "PrijatoCEL", "PrijatoUsporaEL"},
                                   {"CelkemEL", "CelkemCEL", "CelkemUsporaEL"}};
  for (int c = 0; c < 3; ++c) sizes->addWidget(CaptionLabel(columns[c], this), 0, c + 1, Qt::AlignCenter);
  for (int r = 0; r < 3; ++r) {
    QLabel* row = CaptionLabel(rows[r], this);
    sizes->addWidget(row, r + 1, 0);
    for (int c = 0; c < 3; ++c) {
      fields_[r][c] = SizeField(names[r][c]);
      sizes->addWidget(fields_[r][c], r + 1, c + 1);
    }
    row->setBuddy(fields_[r][0]);
  }

  // The account: dates, credit, connections, and the button that asks.
  auto* account = new QGridLayout;
  PredplacenoL_ = CaptionLabel("PredplacenoL", this);
  PlatnostL_ = CaptionLabel("PlatnostL", this);
  credit_caption_ = CaptionLabel("CreditCaptionL", this);
  credit_value_ = CaptionLabel("CreditL", this);
  ConnectionL_ = CaptionLabel("ConnectionL", this);
  for (QLabel* value : {PredplacenoL_, PlatnostL_, credit_value_, ConnectionL_}) {
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
  }
  account->addWidget(CaptionLabel("_CreditExpiration", this), 0, 0);
  account->addWidget(PredplacenoL_, 0, 1);
  account->addWidget(CaptionLabel("_AccountExpiration", this), 1, 0);
  account->addWidget(PlatnostL_, 1, 1);
  account->addWidget(credit_caption_, 2, 0);
  account->addWidget(credit_value_, 2, 1);
  account->addWidget(CaptionLabel("_ConnCount", this), 3, 0);
  account->addWidget(ConnectionL_, 3, 1);
  account->setColumnStretch(1, 1);
  UpdateInfo_ = new QPushButton(this);
  UpdateInfo_->setObjectName(QStringLiteral("_UpdateInfo"));
  account->addWidget(UpdateInfo_, 3, 2, Qt::AlignRight);

  chart_ = new TrafficChartView(core_, this);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(sizes);
  layout->addLayout(account);
  layout->addWidget(chart_, 1);

  connect(UpdateInfo_, &QPushButton::clicked, this, [this] { core_.UpdateInfoClick(); });
  KorvanForm& form = core_.form();
  on_statistics_ = form.changes.Subscribe(ModelChange::kStatistics, [this] { ShowTexts(); });
  on_connections_ = form.changes.Subscribe(ModelChange::kConnectionCount, [this] { ShowConnections(); });
  // The credit caption and the dates are texts of the language.
  on_settings_ = form.changes.Subscribe(ModelChange::kSettings, [this] { ShowTexts(); });
  ShowTexts();
  ShowConnections();
}

StatisticsPageView::~StatisticsPageView() = default;

QLineEdit* StatisticsPageView::SizeField(const char* name) {
  auto* field = new QLineEdit(this);
  field->setObjectName(QString::fromLatin1(name));
  field->setReadOnly(true);
  field->setAlignment(Qt::AlignRight);
  return field;
}

void StatisticsPageView::ShowTexts() {
  const KorvanForm& form = core_.form();
  const StatisticsTexts& t = form.statistics_texts;
  const std::string* const texts[3][3] = {{&t.OdeslanoEL, &t.OdeslanoCEL, &t.OdeslanoUsporaEL},
                                          {&t.PrijatoEL, &t.PrijatoCEL, &t.PrijatoUsporaEL},
                                          {&t.CelkemEL, &t.CelkemCEL, &t.CelkemUsporaEL}};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) fields_[r][c]->setText(WidgetText(*texts[r][c], core_));
  }
  PredplacenoL_->setText(WidgetText(t.PredplacenoL, core_));
  PlatnostL_->setText(WidgetText(t.PlatnostL, core_));
  credit_caption_->setText(WidgetText(t.credit_caption, core_));
  credit_value_->setText(WidgetText(t.credit_value, core_));
  UpdateInfo_->setEnabled(form.UpdateInfo.enabled);
}

void StatisticsPageView::ShowConnections() {
  ConnectionL_->setText(QString::number(core_.form().open_connections()));
}

}  // namespace korvan::gui
