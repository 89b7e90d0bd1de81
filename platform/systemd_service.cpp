#include "platform/systemd_service.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <sstream>

#include "platform/replace_file.h"
#include "platform/spawn_program.h"
#include "platform/user_name.h"

namespace korvan {
namespace {

// Quoted for systemd's command-line parser when it holds a blank, a quote
// or a backslash; '%' (systemd's specifiers) doubled, '$' escaped.
std::string UnitArgument(const std::string& argument) {
  std::string escaped;
  bool quote = argument.empty();
  for (const char c : argument) {
    if (c == ' ' || c == '\t' || c == '"' || c == '\'' || c == '\\') quote = true;
    if (c == '"' || c == '\\') escaped += '\\';
    if (c == '%') escaped += '%';
    if (c == '$') escaped += '$';
    escaped += c;
  }
  return quote ? "\"" + escaped + "\"" : escaped;
}

std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return in ? text.str() : std::string();
}

int RunAndWait(const std::vector<std::string>& argv) {
  std::string error;
  return SpawnProgram(argv, /*search_path=*/true, /*detach=*/false, &error);
}

// systemctl's verb on the unit; a failure is reported, not fatal: the unit
// file is in place and the operator can finish by hand.
bool Systemctl(const ServiceInstallContext& context, const std::vector<std::string>& verb, std::ostream& out,
               std::ostream& err) {
  std::vector<std::string> argv = {"systemctl"};
  argv.insert(argv.end(), verb.begin(), verb.end());
  std::string line;
  for (const auto& a : argv) line += (line.empty() ? "" : " ") + a;
  const int status = context.run(argv);
  if (status == 0) {
    out << "korvan: ran \"" << line << "\"\n";
    return true;
  }
  err << "korvan: \"" << line << "\" failed" << (status < 0 ? " to start" : " with status " + std::to_string(status))
      << "\n";
  return false;
}

}  // namespace

std::string ServiceUnitText(const ServiceUnitOptions& options) {
  std::string exec = UnitArgument(options.program.string()) + " --service";
  std::string writable;
  if (options.config_dir) {
    exec += " --config-dir " + UnitArgument(options.config_dir->string());
    // The folder given must exist before the service starts; "-" keeps a
    // missing one from failing the start of the unit with a riddle.
    writable = "ReadWritePaths=-" + UnitArgument(options.config_dir->string()) + "\n";
  }
  if (options.app_dir) exec += " --app-dir " + UnitArgument(options.app_dir->string());
  std::string unit =
      "# Written by `korvan INSTALL`; `korvan UNINSTALL` removes it.\n"
      "[Unit]\n"
      "Description=KORVAN compressing proxy (service mode)\n"
      "After=network-online.target\n"
      "Wants=network-online.target\n"
      "\n"
      "[Service]\n"
      "Type=simple\n"
      "User=korvan\n"
      "Group=korvan\n"
      // A user of its own for the service when the package made none.
      "DynamicUser=yes\n"
      "ExecStart=" + exec + "\n"
      // Korvan.ini and, with a read-only program folder, korvan.log and
      // Update/ in /var/lib/korvan.
      "StateDirectory=korvan\n"
      "StateDirectoryMode=0700\n"
      "Environment=KORVAN_CONFIG_DIR=%S/korvan\n"
      "Environment=XDG_STATE_HOME=%S\n" +
      writable +
      "Restart=on-failure\n"
      "RestartSec=5\n"
      // korvan-update, started at the end of a restart, outlives the
      // service's main process to start it again.
      "KillMode=process\n"
      "TimeoutStopSec=30\n"
      "NoNewPrivileges=yes\n"
      "ProtectSystem=strict\n"
      "ProtectHome=read-only\n"
      "PrivateTmp=yes\n"
      "PrivateDevices=yes\n"
      "ProtectKernelTunables=yes\n"
      "ProtectKernelModules=yes\n"
      "ProtectKernelLogs=yes\n"
      "ProtectControlGroups=yes\n"
      "ProtectClock=yes\n"
      "ProtectHostname=yes\n"
      "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n"
      "RestrictNamespaces=yes\n"
      "RestrictRealtime=yes\n"
      "RestrictSUIDSGID=yes\n"
      "LockPersonality=yes\n"
      "MemoryDenyWriteExecute=yes\n"
      "SystemCallArchitectures=native\n"
      "CapabilityBoundingSet=\n"
      "UMask=0077\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n";
  return unit;
}

ServiceInstallContext CurrentServiceInstallContext() {
  ServiceInstallContext context;
  context.run = RunAndWait;
  if (const char* dir = std::getenv("KORVAN_SYSTEMD_UNIT_DIR"); dir != nullptr && *dir != '\0') {
    context.unit_dir = dir;
    context.tell_systemd = false;
    return context;
  }
  context.unit_dir = "/etc/systemd/system";
  std::error_code ec;
  // systemd's own test for "booted with systemd".
  context.tell_systemd = std::filesystem::is_directory("/run/systemd/system", ec);
  return context;
}

int InstallService(const ServiceUnitOptions& options, const ServiceInstallContext& context, std::ostream& out,
                   std::ostream& err) {
  const std::filesystem::path unit = context.unit_dir / kServiceUnitName;
  if (const int code = ReplaceFile(unit, ServiceUnitText(options), 0644); code != 0) {
    err << "korvan: cannot write " << unit.string() << " (" << std::strerror(code) << ")"
        << (::geteuid() != 0 ? "; installing the service needs root: sudo korvan -INSTALL" : "") << "\n";
    return EXIT_FAILURE;
  }
  out << "korvan: wrote " << unit.string() << " (runs " << options.program.string() << " --service as user "
      << kServiceUserName << ")\n";
  if (!context.tell_systemd) {
    out << "korvan: systemd was not told; enable it with: systemctl daemon-reload && systemctl enable --now "
        << kServiceUnitName << "\n";
    return EXIT_SUCCESS;
  }
  const bool told = Systemctl(context, {"daemon-reload"}, out, err) &&
                    Systemctl(context, {"enable", std::string(kServiceUnitName)}, out, err);
  if (told) out << "korvan: the service starts at the next boot; start it now with: systemctl start korvan\n";
  return told ? EXIT_SUCCESS : EXIT_FAILURE;
}

int UninstallService(const ServiceInstallContext& context, std::ostream& out, std::ostream& err) {
  const std::filesystem::path unit = context.unit_dir / kServiceUnitName;
  std::error_code ec;
  if (!std::filesystem::exists(unit, ec)) {
    out << "korvan: the service is not installed (no " << unit.string() << ")\n";
    return EXIT_SUCCESS;
  }
  bool ok = true;
  if (context.tell_systemd) ok = Systemctl(context, {"disable", "--now", std::string(kServiceUnitName)}, out, err);
  if (!std::filesystem::remove(unit, ec) || ec) {
    err << "korvan: cannot remove " << unit.string() << " (" << ec.message() << ")"
        << (::geteuid() != 0 ? "; removing the service needs root: sudo korvan -UNINSTALL" : "") << "\n";
    return EXIT_FAILURE;
  }
  out << "korvan: removed " << unit.string() << "\n";
  if (context.tell_systemd) ok = Systemctl(context, {"daemon-reload"}, out, err) && ok;
  return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}

bool IsServiceProcess(std::string_view cgroup, std::string_view unit, std::string_view user) {
  bool in_unit = false;
  std::istringstream lines{std::string(cgroup)};
  const std::string suffix = "/" + std::string(kServiceUnitName);
  for (std::string line; std::getline(lines, line);) {
    if (line.size() >= suffix.size() && line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0) {
      in_unit = true;
    }
  }
  if (!in_unit || user.empty()) return false;
  std::istringstream unit_lines{std::string(unit)};
  for (std::string line; std::getline(unit_lines, line);) {
    if (line.starts_with("User=")) return line.substr(5) == user;
  }
  return false;
}

bool IsRunningAsService() {
  const std::string cgroup = ReadWholeFile("/proc/self/cgroup");
  if (cgroup.empty()) return false;
  std::vector<std::filesystem::path> folders;
  if (const char* dir = std::getenv("KORVAN_SYSTEMD_UNIT_DIR"); dir != nullptr && *dir != '\0') folders.push_back(dir);
  folders.insert(folders.end(), {"/etc/systemd/system", "/lib/systemd/system", "/usr/lib/systemd/system"});
  for (const auto& folder : folders) {
    const std::string unit = ReadWholeFile(folder / kServiceUnitName);
    if (!unit.empty()) return IsServiceProcess(cgroup, unit, EffectiveUserName());
  }
  return false;
}

}  // namespace korvan
