#include "platform/service_runner.h"

#include <ostream>

#include "platform/config_dir.h"
#include "platform/headless_platform.h"
#include "shell/client_core.h"

namespace korvan {

std::filesystem::path ExecutableFolder() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::current_path() : exe.parent_path();
}

int RunService(const ServiceOptions& options, std::ostream& out, std::ostream& err) {
  std::string error;
  const std::filesystem::path config_dir = ConfigDirectory(options.config_dir, &error);
  if (config_dir.empty()) {
    err << "korvan: configuration directory: " << error << std::endl;
    return 1;
  }
  HeadlessPlatform platform(config_dir, err);
  const std::filesystem::path app_dir = options.app_dir.value_or(ExecutableFolder());
  // The service restarts through systemd, with its own unit's options.
  ClientCore core(platform.Services(), {app_dir, /*service_mode=*/true, ProgramDataFolder(app_dir), {}});
  platform.prompts().set_log([&core](std::string_view text) {
    if (core.started()) core.form().WriteToLog(text);
  });
  if (!core.Start()) {
    if (!core.start_error_detail().empty()) err << "korvan: (" << core.start_error_detail() << ")" << std::endl;
    return 1;
  }

  platform.loop().QuitOnTerminationSignals();
  const KorvanForm& form = core.form();
  out << "korvan: service running; configuration " << platform.profile().path().string() << ", server "
      << form.working.server_address << ":" << form.working.server_port << std::endl;
  for (const PortRow& row : form.ports().rows()) {
    out << "korvan: port " << row.Port << " " << ProtocolText(row.Protocol) << std::endl;
  }

  const int signal_number = platform.loop().Run();
  out << "korvan: stopping" << (signal_number != 0 ? " on signal " + std::to_string(signal_number) : "")
      << std::endl;
  core.Stop();
  platform.loop().Finish();
  core.RunUpdater();
  return 0;
}

}  // namespace korvan
