// The self-updater's windows in window mode: its message boxes and the
// update dialog `TUpdateFM`, decoded and owned as QtPrompts' boxes are. On
// a platform nobody can look at no window waits: the text goes to standard
// error and the answer is No (OK for a box that only informs).
//
// Thread rule: GUI thread only.
#pragma once

#include "gui/qt_prompts.h"
#include "updater/update_types.h"

namespace korvan::gui {

class QtUpdateDialogs : public UpdateDialogs {
 public:
  // Texts, owner and whether anyone can answer come from `prompts`; the
  // lines go to `err`.
  QtUpdateDialogs(QtPrompts& prompts, std::ostream& err) : prompts_(prompts), err_(err) {}

  std::int32_t ShowMessageBox(const MessageBoxRequest& request) override;
  UpdateDialogAnswer ShowUpdateDialog(const UpdateDialogRequest& request) override;

 private:
  QtPrompts& prompts_;
  std::ostream& err_;
};

}  // namespace korvan::gui
