// The messages page `_tsMessages`: the log memo `Memo1` (a click into it
// stops the alarm), `_ClearLog`, the two link labels (the product's web page
// and a mail to the help desk, opened with the desktop's default handler),
// and the updater's button (check, or cancel while a download runs) with
// its progress gauge, as the model's kUpdate changes say.
//
// Thread rule: GUI thread only.
#pragma once

#include <cstddef>

#include <QWidget>

#include "shell/model_changes.h"
#include "shell/model_controls.h"

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace korvan {
class ClientCore;
}

namespace korvan::gui {

// Deployment values: where the two link labels lead.
inline constexpr const char* kProductWebPage = "https://www.korvan.example/";
inline constexpr const char* kHelpDeskMail = "mailto:helpdesk@korvan.example";

// The gauge's int64 byte counts in the int range a progress bar holds.
struct GaugeRange {
  int max = 0;
  int position = 0;
  bool operator==(const GaugeRange&) const = default;
};
GaugeRange ScaleGauge(const ProgressGauge& gauge);

class MessagesPageView : public QWidget {
  Q_OBJECT

 public:
  MessagesPageView(ClientCore& core, QWidget* parent);
  ~MessagesPageView() override;

  QPlainTextEdit& memo() { return *Memo1_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void ShowLog();
  void ShowUpdate();

  ClientCore& core_;
  QPlainTextEdit* Memo1_;
  QPushButton* ClearLog_;
  QLabel* HTTPAddr_;
  QLabel* Label26_;
  QPushButton* CheckNewUpdate_;
  QWidget* UpdatePrgrP_;
  QProgressBar* UpdatePrgr_;
  std::size_t shown_bytes_ = 0;  // of the model's memo
  Subscription on_log_;
  Subscription on_settings_;
  Subscription on_update_;
};

}  // namespace korvan::gui
