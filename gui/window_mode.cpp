#include "gui/window_mode.h"

#include <QApplication>
#include <QtGlobal>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "gui/termination_signals.h"
#include "gui/window_platform.h"
#include "platform/config_dir.h"
#include "platform/instance_lock.h"
#include "platform/service_runner.h"
#include "shell/client_core.h"

#include "gui/views/main_window.h"
// The tray icon is a view of its own; until it is built, every start is
// one without a tray.
#include "gui/views/tray_icon.h"

namespace korvan::gui {
namespace {

constexpr char kAlreadyRunning[] = "The KORVAN is already running";

// Qt ends the process from inside QApplication's constructor when no
// platform plugin can open a display; the message handler turns that into
// our own message and exit status instead of an abort.
std::ostream* g_display_err = nullptr;
QtMessageHandler g_previous_handler = nullptr;

void OnQtMessageDuringStart(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type == QtFatalMsg && g_display_err != nullptr) {
    *g_display_err << "korvan: window mode cannot open a display (" << message.toStdString()
                   << "); start it with --service instead" << std::endl;
    std::_Exit(1);
  }
  if (g_previous_handler != nullptr) g_previous_handler(type, context, message);
}

// Without any of these Qt would not even try: say so plainly first.
bool DisplayNamed() {
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return true;
  }
  return false;
}

class ScopedDisplayCheck {
 public:
  explicit ScopedDisplayCheck(std::ostream& err) {
    g_display_err = &err;
    g_previous_handler = qInstallMessageHandler(OnQtMessageDuringStart);
  }
  ~ScopedDisplayCheck() {
    qInstallMessageHandler(g_previous_handler);
    g_display_err = nullptr;
  }
  ScopedDisplayCheck(const ScopedDisplayCheck&) = delete;
  ScopedDisplayCheck& operator=(const ScopedDisplayCheck&) = delete;
};

std::unique_ptr<QApplication> OpenApplication(int& argc, char** argv, std::ostream& err) {
  if (!DisplayNamed()) {
    err << "korvan: window mode needs a display, and neither DISPLAY nor WAYLAND_DISPLAY nor QT_QPA_PLATFORM is "
           "set; start it with --service instead"
        << std::endl;
    return nullptr;
  }
  ScopedDisplayCheck check(err);
  auto app = std::make_unique<QApplication>(argc, argv);
  QApplication::setApplicationName(QStringLiteral("KORVAN"));
  // Closing the window hides it; only the tray's Exit or a signal ends.
  QApplication::setQuitOnLastWindowClosed(false);
  return app;
}

bool TrayAvailable() {
  return TrayIconView::Available();
}

}  // namespace

int RunWindowMode(const WindowOptions& options, std::ostream& err) {
  // The lock comes before anything that could create or change a file
  // (even the configuration folder).
  const InstanceLock lock(InstanceLockPath([](const char* name) { return std::getenv(name); }));
  if (lock.state() == InstanceLock::State::kFailed) {
    err << "korvan: " << lock.error() << std::endl;
    return 1;
  }

  static char program_name[] = "korvan";
  static char* argv[] = {program_name, nullptr};
  static int argc = 1;
  const std::unique_ptr<QApplication> app = OpenApplication(argc, argv, err);

  if (lock.state() == InstanceLock::State::kTakenByAnother) {
    if (app != nullptr) {
      QtPrompts::ShowStartError(QString::fromLatin1(kAlreadyRunning), err);
    } else {
      err << "korvan: " << kAlreadyRunning << std::endl;
    }
    return 1;
  }
  if (app == nullptr) return 1;

  std::string error;
  const std::filesystem::path config_dir = ConfigDirectory(options.config_dir, &error);
  if (config_dir.empty()) {
    QtPrompts::ShowStartError(QString::fromStdString("configuration directory: " + error), err);
    return 1;
  }

  // The autostart entry starts this program with the folders it was given.
  std::vector<std::string> command = {(ExecutableFolder() / "korvan").string()};
  if (options.config_dir) {
    command.insert(command.end(), {"--config-dir", std::filesystem::absolute(*options.config_dir).string()});
  }
  if (options.app_dir) command.insert(command.end(), {"--app-dir", std::filesystem::absolute(*options.app_dir).string()});
  WindowPlatform platform(config_dir, err, std::move(command));
  const std::filesystem::path app_dir = options.app_dir.value_or(ExecutableFolder());
  ClientCore core(platform.Services(), {app_dir, /*service_mode=*/false, ProgramDataFolder(app_dir),
                                        options.config_dir ? std::filesystem::absolute(*options.config_dir)
                                                           : std::filesystem::path()});
  platform.prompts().set_core(&core);

  // A signal ends the loop like the tray's Exit; one that comes while the
  // start still shows a message closes that message, and the start then
  // ends where it stands.
  bool end_requested = false;
  const TerminationSignals termination([&](int) {
    end_requested = true;
    if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
    if (core.started()) core.miCloseClick();
  });

  if (!core.Start()) {
    if (!core.start_error_detail().empty()) err << "korvan: (" << core.start_error_detail() << ")" << std::endl;
    platform.loop().Finish();
    core.RunUpdater();
    return 1;
  }

  {
    TKorvanFM window(core);
    platform.prompts().set_owner(&window);
    std::unique_ptr<TrayIconView> tray;
    if (TrayAvailable()) {
      tray = std::make_unique<TrayIconView>(core, window);
      // The program starts in the tray; the window opens from there.
    } else {
      window.SetCloseBehaviour(TKorvanFM::CloseBehaviour::kMinimise);
      window.show();
    }
    if (end_requested) core.miCloseClick();
    platform.loop().Run();
    core.Stop();
    platform.loop().Finish();
    platform.prompts().set_owner(nullptr);
  }
  core.RunUpdater();
  return 0;
}

}  // namespace korvan::gui
