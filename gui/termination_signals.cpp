#include "gui/termination_signals.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <stdexcept>

namespace korvan::gui {
namespace {

std::atomic<int> g_signal_pipe{-1};

void OnSignal(int signal_number) {
  const int fd = g_signal_pipe.load();
  if (fd < 0) return;
  const auto byte = static_cast<unsigned char>(signal_number);
  [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
}

}  // namespace

TerminationSignals::TerminationSignals(std::function<void(int)> on_signal) : on_signal_(std::move(on_signal)) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot create the signal pipe");
  read_.reset(fds[0]);
  write_.reset(fds[1]);
  g_signal_pipe.store(fds[1]);
  notifier_ = std::make_unique<QSocketNotifier>(fds[0], QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] {
    unsigned char bytes[16];
    const ssize_t n = ::read(read_.get(), bytes, sizeof bytes);
    // Several signals at once end the program once.
    if (n > 0) on_signal_(bytes[n - 1]);
  });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

TerminationSignals::~TerminationSignals() {
  std::signal(SIGTERM, SIG_DFL);
  std::signal(SIGINT, SIG_DFL);
  g_signal_pipe.store(-1);
  notifier_.reset();
}

}  // namespace korvan::gui
