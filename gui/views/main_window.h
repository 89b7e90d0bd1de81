// The main window `TKorvanFM`: a dialog-style window whose whole client area
// is the page control PageControl1 with its five pages, bound to the form of
// a started core. Closing it by its title bar hides it (or minimises it
// where there is no tray): the program ends only from the tray or a signal.
// Activating it stops the tray alarm; a language change re-applies every
// caption, the grid titles, the setup dialog and the fonts.
//
// Thread rule: GUI thread only.
#pragma once

#include <QMainWindow>

#include "shell/model_changes.h"

class QTabWidget;

namespace korvan {
class ClientCore;
}

namespace korvan::gui {

class CommunicationPage;
class ProtocolsPage;
class SettingsPageView;
class TSetupFM;

class TKorvanFM : public QMainWindow {
  Q_OBJECT

 public:
  explicit TKorvanFM(ClientCore& core, QWidget* parent = nullptr);
  ~TKorvanFM() override;

  enum class CloseBehaviour { kHideToTray, kMinimise };
  void SetCloseBehaviour(CloseBehaviour behaviour) { close_behaviour_ = behaviour; }

  void ShowPage(int index);
  QTabWidget& pages() { return *PageControl1_; }
  TSetupFM& setup_dialog() { return *setup_; }

  // Captions, titles and fonts from the current language.
  void ApplyLanguage();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void NameUnlabelledControls();

  ClientCore& core_;
  QTabWidget* PageControl1_;
  TSetupFM* setup_;
  CommunicationPage* communication_;
  SettingsPageView* settings_;
  ProtocolsPage* protocols_;
  CloseBehaviour close_behaviour_ = CloseBehaviour::kHideToTray;
  bool centred_ = false;
  Subscription on_settings_;
  Subscription on_page_;
};

}  // namespace korvan::gui
