// The tray icon: its menu (Show, Restart, Exit in the language's words;
// Show also on a double-click), the hint with the saving, and the alarm,
// during which the icon alternates every 500 ms until something stops it.
//
// Thread rule: GUI thread only.
#pragma once

#include <array>

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

#include "shell/model_changes.h"

class QAction;
class QMenu;

namespace korvan {
class ClientCore;
}

namespace korvan::gui {

class TKorvanFM;

class TrayIconView : public QObject {
  Q_OBJECT

 public:
  TrayIconView(ClientCore& core, TKorvanFM& window, QObject* parent = nullptr);
  ~TrayIconView() override;

  // Whether the desktop shows tray icons at all.
  static bool Available();

  // `miShowClick`: the window to the front (the messages page when the
  // alarm was on), the alarm stopped.
  void miShowClick();

  QSystemTrayIcon& icon() { return *icon_; }
  QMenu& menu() { return *PopupMenu1_; }
  // Which picture shows: 0 the normal one, 1 the alarm's other one.
  int shown_picture() const { return shown_picture_; }

 private:
  void ApplyTexts();
  void ShowHint();
  void FollowAlarm();
  void Blink();

  ClientCore& core_;
  TKorvanFM& window_;
  QSystemTrayIcon* icon_;
  QMenu* PopupMenu1_;
  QAction* miShow_;
  QAction* miRestart_;
  QAction* miClose_;
  std::array<QIcon, 2> pictures_;
  QTimer blink_;
  int shown_picture_ = 0;
  Subscription on_settings_;
  Subscription on_statistics_;
  Subscription on_alarm_;
};

// The tray's pictures, drawn at run time: the normal one and the alarm's.
QIcon DrawTrayPicture(bool alarm);

}  // namespace korvan::gui
