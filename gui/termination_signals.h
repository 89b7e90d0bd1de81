// SIGTERM and SIGINT in window mode: the handler only writes the signal's
// number to a pipe; a QSocketNotifier reads it on the GUI thread and calls
// `on_signal` there, where the tray's Exit would run.
//
// Thread rule: GUI thread only; one instance per process.
#pragma once

#include <QObject>

#include <functional>
#include <memory>

#include "platform/fd_io.h"

class QSocketNotifier;

namespace korvan::gui {

class TerminationSignals {
 public:
  explicit TerminationSignals(std::function<void(int signal_number)> on_signal);
  // Gives both signals back to their default action.
  ~TerminationSignals();
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

 private:
  UniqueFd read_;
  UniqueFd write_;
  std::unique_ptr<QSocketNotifier> notifier_;
  std::function<void(int)> on_signal_;
};

}  // namespace korvan::gui
