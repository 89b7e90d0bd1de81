// The update dialog `TUpdateFM`: what the new version brings (`Memo1`), the
// box that also fetches the help file (`UpdateHelp` on `HelpPanel`, shown
// only when the help is due) and the question with Yes and No. A tool
// window of 281 x 270 pixels, centred on the screen; closing it answers No.
//
// Thread rule: GUI thread only.
#pragma once

#include <QDialog>

#include "updater/update_types.h"

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace korvan {
class ClientCore;
}

namespace korvan::gui {

inline constexpr int kUpdateDialogWidth = 281;
inline constexpr int kUpdateDialogHeight = 270;

class TUpdateFM : public QDialog {
  Q_OBJECT

 public:
  // The request's texts are decoded in the current language's code page
  // when `core` is given, else as code page 1250.
  TUpdateFM(const UpdateDialogRequest& request, const ClientCore* core, QWidget* parent = nullptr);

  // Shows the dialog modally and returns the answer.
  UpdateDialogAnswer Run();
  // The answer as the dialog stands: Yes only when closed with Yes.
  UpdateDialogAnswer Answer() const;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void UpdateHelpClick();

  std::int64_t total_size_;
  bool centred_ = false;
  QPlainTextEdit* Memo1_;
  QWidget* HelpPanel_;
  QCheckBox* UpdateHelp_;
  QLabel* UpdateQuery_;
  QPushButton* btnYes_;
  QPushButton* btnNo_;
};

}  // namespace korvan::gui
