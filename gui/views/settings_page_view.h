// The page "Nastavení": language (applied at once), autostart, the advert
// and Flash filters, image compression, the log switches and HTML
// optimisation. Every change goes into the form at once; the filter word and
// the compression byte are recomputed by the form.
//
// Thread rule: GUI thread only.
#pragma once

#include <array>

#include <QWidget>

#include "shell/model_changes.h"
#include "shell/settings_page.h"

class QCheckBox;
class QComboBox;
class QSlider;

namespace korvan {
class ClientCore;
}

namespace korvan::gui {

class SettingsPageView : public QWidget {
  Q_OBJECT

 public:
  SettingsPageView(ClientCore& core, QWidget* parent);

  void Refresh();

 private:
  ClientCore& core_;
  QComboBox* LanguageCB_;
  QCheckBox* Autostart_;
  std::array<QCheckBox*, kTaggedCheckBoxes.size()> tagged_{};
  QSlider* GIFCompress_;
  QSlider* JPEGCompress_;
  QCheckBox* ListConnectErr_;
  QCheckBox* ListErrIP_;
  bool refreshing_ = false;
  Subscription on_settings_;
};

}  // namespace korvan::gui
