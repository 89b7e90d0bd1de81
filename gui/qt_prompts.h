// Message boxes of window mode. Every error also goes to standard error as
// one line, so a start from a terminal shows why it ended. On a platform
// nobody can look at (offscreen, minimal) no box waits for an answer: the
// line stands for it and questions are answered No, as in service mode.
//
// Thread rule: GUI thread only.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include <iosfwd>
#include <string_view>

#include "shell/shell_services.h"

namespace korvan {
class ClientCore;
}

namespace korvan::gui {

class QtPrompts : public UserPrompts {
 public:
  explicit QtPrompts(std::ostream& err);

  // Texts are decoded in the current language's code page once the core
  // exists; before, as code page 1250.
  void set_core(const ClientCore* core) { core_ = core; }
  // Boxes belong to the main window once it exists.
  void set_owner(QWidget* owner) { owner_ = owner; }
  bool interactive() const { return interactive_; }
  // The owner for a box now: the main window while it shows, else none
  // (a box over a window hidden in the tray would be hidden too).
  QWidget* visible_owner() const { return owner_ && owner_->isVisible() ? owner_.data() : nullptr; }
  const ClientCore* core() const { return core_; }
  // Program text (code-page bytes) for a widget.
  QString Text(std::string_view bytes) const;

  void ShowError(std::string_view text) override;
  bool AskYesNo(std::string_view caption, std::string_view text) override;

  // An error box with the caption "KORVAN" and no owner, before there is a
  // core (the second start); the line goes to `err` too.
  static void ShowStartError(const QString& text, std::ostream& err);

 private:
  std::ostream& err_;
  const ClientCore* core_ = nullptr;
  QPointer<QWidget> owner_;
  bool interactive_;
};

// Whether a person can see this Qt platform's windows.
bool PlatformIsInteractive();

// Code-page-1250 bytes as a QString (for the time before a core exists).
QString FromCodePage1250(std::string_view bytes);

}  // namespace korvan::gui
