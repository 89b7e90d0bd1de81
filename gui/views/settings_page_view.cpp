#include "gui/views/settings_page_view.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>
#include <QVBoxLayout>

#include "gui/views/widget_text.h"
#include "shell/client_core.h"

namespace korvan::gui {
namespace {

template <typename T>
T* Named(const QString& name, QWidget* parent) {
  auto* widget = new T(parent);
  widget->setObjectName(name);
  return widget;
}

// The banner sizes as the boxes show them ("IGN468x60" -> "468 x 60"); the
// Flash box says what it blocks.
QString FilterCaption(std::string_view name) {
  if (name == "IGNAppFlash") return QStringLiteral("Flash");
  QString size = QString::fromLatin1(name.substr(3).data(), static_cast<qsizetype>(name.size() - 3));
  return size.replace(u'x', QStringLiteral(" x "));
}

QSlider* CompressionSlider(const char* name, const Slider& model, QWidget* parent) {
  auto* slider = Named<QSlider>(QString::fromLatin1(name), parent);
  slider->setOrientation(Qt::Horizontal);
  slider->setRange(model.min(), model.max());
  slider->setSingleStep(1);
  slider->setPageStep(1);
  slider->setTickPosition(QSlider::TicksBelow);
  slider->setTickInterval(1);
  return slider;
}

}  // namespace

SettingsPageView::SettingsPageView(ClientCore& core, QWidget* parent) : QWidget(parent), core_(core) {
  setObjectName("_tsSettings");
  SettingsPage& model = core_.form().settings;

  LanguageCB_ = Named<QComboBox>("LanguageCB", this);
  auto* language_label = Named<QLabel>("_Language", this);
  language_label->setBuddy(LanguageCB_);
  Autostart_ = Named<QCheckBox>("_Autostart", this);

  auto* adverts = Named<QGroupBox>("_IgnoreAdvertisement", this);
  auto* advert_grid = new QGridLayout(adverts);
  int cell = 0;
  for (std::size_t i = 0; i < kTaggedCheckBoxes.size(); ++i) {
    const std::string_view name = kTaggedCheckBoxes[i].name;
    // The HTML box lies on the page itself; the others in the advert group.
    const bool on_page = name.starts_with('_');
    auto* box = Named<QCheckBox>(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())),
                                 on_page ? static_cast<QWidget*>(this) : adverts);
    if (!on_page) {
      box->setText(FilterCaption(name));
      advert_grid->addWidget(box, cell / 3, cell % 3);
      ++cell;
    }
    tagged_[i] = box;
  }

  auto* pictures = Named<QGroupBox>("_PictureCompress", this);
  GIFCompress_ = CompressionSlider("_GIFCompress", model.GIFCompress, pictures);
  JPEGCompress_ = CompressionSlider("_JPEGCompress", model.JPEGCompress, pictures);
  auto* picture_grid = new QGridLayout(pictures);
  auto* gif_label = new QLabel(QStringLiteral("GIF"), pictures);
  gif_label->setBuddy(GIFCompress_);
  auto* jpeg_label = new QLabel(QStringLiteral("JPEG"), pictures);
  jpeg_label->setBuddy(JPEGCompress_);
  picture_grid->addWidget(Named<QLabel>("_maxCompress", pictures), 0, 1, Qt::AlignLeft);
  picture_grid->addWidget(Named<QLabel>("_noCompress", pictures), 0, 2, Qt::AlignRight);
  picture_grid->addWidget(gif_label, 1, 0);
  picture_grid->addWidget(GIFCompress_, 1, 1, 1, 2);
  picture_grid->addWidget(jpeg_label, 2, 0);
  picture_grid->addWidget(JPEGCompress_, 2, 1, 1, 2);

  auto* debug = Named<QGroupBox>("_debug", this);
  ListConnectErr_ = Named<QCheckBox>("_ListConnectErr", debug);
  ListErrIP_ = Named<QCheckBox>("_ListErrIP", debug);
  auto* debug_layout = new QVBoxLayout(debug);
  debug_layout->addWidget(ListConnectErr_);
  debug_layout->addWidget(ListErrIP_);

  auto* language_row = new QHBoxLayout;
  language_row->addWidget(language_label);
  language_row->addWidget(LanguageCB_, 1);
  auto* left = new QVBoxLayout;
  left->addLayout(language_row);
  left->addWidget(Autostart_);
  left->addWidget(adverts);
  left->addStretch();
  auto* right = new QVBoxLayout;
  right->addWidget(pictures);
  right->addWidget(debug);
  for (std::size_t i = 0; i < kTaggedCheckBoxes.size(); ++i) {
    if (kTaggedCheckBoxes[i].name.starts_with('_')) right->addWidget(tagged_[i]);
  }
  right->addStretch();
  auto* page = new QHBoxLayout(this);
  page->addLayout(left, 3);
  page->addLayout(right, 2);

  connect(LanguageCB_, &QComboBox::currentIndexChanged, this, [this, &model](int index) {
    if (refreshing_ || index < 0) return;
    model.LanguageCB.select(index);
    core_.ApplySelectedLanguage();
  });
  connect(Autostart_, &QCheckBox::toggled, this, [this, &model](bool on) {
    if (!refreshing_) model.Autostart.checked = on;
  });
  for (std::size_t i = 0; i < tagged_.size(); ++i) {
    connect(tagged_[i], &QCheckBox::toggled, this, [this, &model, i](bool on) {
      if (refreshing_) return;
      model.tagged[i].checked = on;
      core_.form().IGNAppFlashClick();
    });
  }
  const auto bind_slider = [this](QSlider* slider, Slider& value) {
    connect(slider, &QSlider::valueChanged, this, [this, &value](int v) {
      if (refreshing_) return;
      value.set_value(v);
      core_.form().IGNAppFlashClick();
    });
  };
  bind_slider(GIFCompress_, model.GIFCompress);
  bind_slider(JPEGCompress_, model.JPEGCompress);
  connect(ListConnectErr_, &QCheckBox::toggled, this, [this, &model](bool on) {
    if (!refreshing_) model.ListConnectErr.checked = on;
  });
  connect(ListErrIP_, &QCheckBox::toggled, this, [this, &model](bool on) {
    if (!refreshing_) model.ListErrIP.checked = on;
  });

  on_settings_ = core_.form().changes.Subscribe(ModelChange::kSettings, [this] { Refresh(); });
  Refresh();
}

void SettingsPageView::Refresh() {
  const SettingsPage& model = core_.form().settings;
  refreshing_ = true;
  const auto& items = model.LanguageCB.items;
  bool same = LanguageCB_->count() == static_cast<int>(items.size());
  for (int i = 0; same && i < LanguageCB_->count(); ++i) {
    same = LanguageCB_->itemText(i) == WidgetText(items[static_cast<std::size_t>(i)], core_);
  }
  if (!same) {
    LanguageCB_->clear();
    for (const auto& name : items) LanguageCB_->addItem(WidgetText(name, core_));
  }
  LanguageCB_->setCurrentIndex(model.LanguageCB.index);
  LanguageCB_->setEnabled(model.LanguageCB.enabled);
  Autostart_->setChecked(model.Autostart.checked);
  Autostart_->setEnabled(model.Autostart.enabled);
  for (std::size_t i = 0; i < tagged_.size(); ++i) {
    tagged_[i]->setChecked(model.tagged[i].checked);
    tagged_[i]->setEnabled(model.tagged[i].enabled);
  }
  GIFCompress_->setValue(model.GIFCompress.value());
  GIFCompress_->setEnabled(model.GIFCompress.enabled);
  JPEGCompress_->setValue(model.JPEGCompress.value());
  JPEGCompress_->setEnabled(model.JPEGCompress.enabled);
  ListConnectErr_->setChecked(model.ListConnectErr.checked);
  ListConnectErr_->setEnabled(model.ListConnectErr.enabled);
  ListErrIP_->setChecked(model.ListErrIP.checked);
  ListErrIP_->setEnabled(model.ListErrIP.enabled);
  refreshing_ = false;
}

}  // namespace korvan::gui
