#include "gui/views/protocols_page.h"

#include <algorithm>

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "gui/views/captions.h"
#include "gui/views/setup_dialog.h"
#include "gui/views/widget_text.h"
#include "localisation/caption_keys.h"
#include "shell/client_core.h"

namespace korvan::gui {
namespace {

QPushButton* Button(const char* name, QWidget* parent) {
  auto* button = new QPushButton(parent);
  button->setObjectName(name);
  return button;
}

QString Latin(const std::string& text) { return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

ProtocolsPage::ProtocolsPage(ClientCore& core, TSetupFM& dialog, QWidget* parent)
    : QWidget(parent), core_(core), dialog_(dialog) {
  setObjectName("_tsProtocols");
  grid_ = new QTableWidget(0, static_cast<int>(kGridColumnKeys.size()), this);
  grid_->setObjectName("SocketsGrid");
  grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid_->setSelectionBehavior(QAbstractItemView::SelectRows);
  grid_->setSelectionMode(QAbstractItemView::SingleSelection);
  grid_->verticalHeader()->hide();
  grid_->horizontalHeader()->setStretchLastSection(true);
  grid_->setTabKeyNavigation(false);

  btnAppend_ = Button("_btnAppend", this);
  btnEdit_ = Button("_btnEdit", this);
  btnDelete_ = Button("_btnDelete", this);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(btnAppend_);
  buttons->addWidget(btnEdit_);
  buttons->addWidget(btnDelete_);
  buttons->addStretch();
  auto* page = new QVBoxLayout(this);
  page->addWidget(grid_);
  page->addLayout(buttons);

  const auto run = [this](PortSetupDialog& model) { return dialog_.Run(model); };
  connect(btnAppend_, &QPushButton::clicked, this, [this, run] { core_.form().btnAppendClick(run); });
  connect(btnEdit_, &QPushButton::clicked, this, [this, run] {
    if (const int row = CurrentRow(); row >= 0) core_.form().btnEditClick(static_cast<std::size_t>(row), run);
  });
  connect(btnDelete_, &QPushButton::clicked, this, [this] {
    if (const int row = CurrentRow(); row >= 0) core_.form().btnDeleteClick(static_cast<std::size_t>(row));
  });
  connect(grid_, &QTableWidget::cellDoubleClicked, this, [this] { btnEdit_->click(); });

  on_ports_ = core_.form().changes.Subscribe(ModelChange::kPortTable, [this] { Refresh(); });
  ApplyGridTitles();
  Refresh();
}

int ProtocolsPage::CurrentRow() const {
  const int row = grid_->currentRow();
  return row >= 0 && static_cast<std::size_t>(row) < core_.form().ports().rows().size() ? row : -1;
}

void ProtocolsPage::Refresh() {
  const auto& rows = core_.form().ports().rows();
  const int keep = grid_->currentRow();
  grid_->setRowCount(static_cast<int>(rows.size()));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const PortRow& row = rows[i];
    const QString cells[] = {QString::number(row.Port), Latin(std::string(ProtocolText(row.Protocol))),
                             WidgetText(row.Host, core_), Latin(CPortText(row)), Latin(TimeOutText(row))};
    for (int column = 0; column < 5; ++column) {
      auto* item = grid_->item(static_cast<int>(i), column);
      if (item == nullptr) {
        item = new QTableWidgetItem;
        grid_->setItem(static_cast<int>(i), column, item);
      }
      item->setText(cells[column]);
    }
  }
  if (!rows.empty()) grid_->setCurrentCell(std::clamp(keep, 0, static_cast<int>(rows.size()) - 1), 0);
  // `SocketsMDAfterScroll`: edit and delete need a row.
  const bool actions = core_.form().ports().RowActionsEnabled();
  btnDelete_->setEnabled(actions);
  btnEdit_->setEnabled(actions);
}

void ProtocolsPage::ApplyGridTitles() {
  const auto& titles = core_.language().captions.grid_columns;
  QStringList labels;
  for (std::size_t column = 0; column < titles.size(); ++column) {
    labels << (titles[column] ? WidgetText(*titles[column], core_) : DesignGridTitle(column));
  }
  grid_->setHorizontalHeaderLabels(labels);
}

}  // namespace korvan::gui
