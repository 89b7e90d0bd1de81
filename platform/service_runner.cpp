#include "platform/service_runner.h"

#include <unistd.h>

#include <chrono>
#include <ostream>

#include "localisation/apply_language.h"
#include "localisation/language_list.h"
#include "localisation/language_state.h"
#include "localisation/text_table.h"
#include "platform/config_dir.h"
#include "platform/event_loop.h"
#include "platform/headless_services.h"
#include "platform/locked_log_file.h"
#include "platform/posix_listener.h"
#include "platform/posix_stream_socket.h"
#include "platform/profile_file.h"
#include "platform/system_clock.h"
#include "platform/user_locale.h"
#include "platform/worker_launcher.h"
#include "resources/flash_movie.h"
#include "shell/korvan_form.h"
#include "shell/proxy_engine.h"
#include "wire/word_list.h"

namespace korvan {

std::filesystem::path ExecutableFolder() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::current_path() : exe.parent_path();
}

int RunService(const ServiceOptions& options, std::ostream& out, std::ostream& err) {
  const std::filesystem::path app_dir = options.app_dir.value_or(ExecutableFolder());
  std::string error;
  const std::filesystem::path config_dir = ConfigDirectory(options.config_dir, &error);
  if (config_dir.empty()) {
    err << "korvan: configuration directory: " << error << std::endl;
    return 1;
  }

  TextTable texts;
  LanguageState language = InitialLanguageState(texts);
  const TSupportLanguagesAr languages = FindLanguages(app_dir);
  if (languages.empty()) {
    err << "korvan: Language definition file was not found. (" << app_dir.string() << ")" << std::endl;
    return 1;
  }
  const WordListPtr words = LoadWordList(app_dir / "korvan.lvk", &error);
  if (!words) {
    err << "korvan: File KORVAN.LVK is corrupted. (" << error << ")" << std::endl;
    return 1;
  }

  EventLoop loop;
  SystemClock clock;
  PosixNetwork network;
  WorkerLauncher launcher(loop, clock, network, *words);
  PosixListenerFactory listeners(launcher);
  ProfileFile profile(ProfileFile::Locate("Korvan.ini", config_dir));
  NoSystemProxy system_proxy;
  NoAutostart autostart;
  KorvanForm* form_for_log = nullptr;
  StderrPrompts prompts(err, [&form_for_log](std::string_view text) {
    if (form_for_log != nullptr) form_for_log->WriteToLog(text);
  });
  ShellServices services{profile, listeners, loop, clock, system_proxy, autostart, prompts, texts,
                         UserLocaleFormat(), true, DeriveHostIdentity()};
  KorvanForm form(services);
  form_for_log = &form;

  // The language: the configuration's choice, else the user's, else the first.
  for (const auto& l : languages) {
    form.settings.language_files.push_back(l.FileName);
    form.settings.LanguageCB.items.push_back(l.LanguageName);
  }
  form.SelectStoredLanguage(UserLanguageCode());
  const int chosen = std::max(0, form.settings.LanguageCB.index);
  form.settings.LanguageCB.select(chosen);
  ApplyLanguage(app_dir / languages[static_cast<std::size_t>(chosen)].FileName, app_dir, texts, language);

  auto log_file = LockedLogFile::Open(app_dir / "korvan.log", &error);
  if (!log_file) {
    err << "korvan: log " << (app_dir / "korvan.log").string() << ": " << error << std::endl;
    return 1;
  }
  ProxyEngine engine(form, texts, language, *words, FlashMovieResource());
  launcher.set_host(&engine);
  form.set_word_list_version(words->version());
  form.Open(std::move(log_file), {});

  loop.AddTimer(std::chrono::seconds(1), [&form] { form.Timer1Timer(); });
  loop.QuitOnTerminationSignals();
  out << "korvan: service running; configuration " << profile.path().string() << ", server "
      << form.working.server_address << ":" << form.working.server_port << std::endl;
  for (std::size_t i = 0; i < form.ports().rows().size(); ++i) {
    const PortRow& row = form.ports().rows()[i];
    out << "korvan: port " << row.Port << " " << ProtocolText(row.Protocol) << std::endl;
  }

  const int signal_number = loop.Run();
  out << "korvan: stopping" << (signal_number != 0 ? " on signal " + std::to_string(signal_number) : "")
      << std::endl;

  form.Close();
  launcher.StopAll(loop);
  loop.Finish();
  return 0;
}

}  // namespace korvan
