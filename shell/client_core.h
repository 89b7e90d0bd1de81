// The client core: the start-up and tear-down order of the main form, shared
// by both modes. Service mode is this core plus the headless platform bundle;
// window mode is this core plus a Qt bundle and views over `form()`.
//
// Start, in this order (later steps read what earlier ones set): the
// languages found in the program folder and the chosen one applied, the
// word list, the engine behind the workers, the log with its start line,
// the form (system connections, configuration, port table and listeners,
// statistics, one Save), the one-second timer. Stop reverses it: the timer,
// the configuration written, the system connections restored (window mode),
// the log's end line, the listeners closed, the workers ended.
//
// Thread rule: main thread only. Workers reach the form through the engine,
// inside hand-offs.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "localisation/language_list.h"
#include "localisation/language_state.h"
#include "localisation/text_table.h"
#include "shell/account_query.h"
#include "shell/korvan_form.h"
#include "shell/platform_services.h"
#include "shell/proxy_engine.h"
#include "shell/update_controller.h"
#include "wire/word_list.h"

namespace korvan {

struct CoreOptions {
  std::filesystem::path app_dir;  // the program folder: word list, languages
  bool service_mode = false;
  // Where korvan.log and Update/ live: the program folder when this is
  // empty, else (a read-only program folder) the user's state folder.
  std::filesystem::path data_dir;
  // The --config-dir the program was started with (absolute), which a
  // restart keeps; empty when it was not given.
  std::filesystem::path config_dir_argument;
};

// The program the core starts after the loop: it applies Update/ and does
// restarts. "Update/<name>" replaces it first when a new one was delivered.
inline constexpr std::string_view kUpdaterProgram = "korvan-update";

class ClientCore {
 public:
  ClientCore(PlatformServices platform, CoreOptions options);
  ~ClientCore();
  ClientCore(const ClientCore&) = delete;
  ClientCore& operator=(const ClientCore&) = delete;

  // `FormCreate`. False when the start failed: the reason was shown through
  // the prompts (the exact text a user sees), with the detail in
  // start_error_detail(); nothing was written to the configuration.
  bool Start();
  // `FormDestroy`; does nothing unless started.
  void Stop();
  bool started() const { return started_; }
  const std::string& start_error_detail() const { return start_error_detail_; }

  // `LanguageCBChange`: applies the language selected in the settings.
  void ApplySelectedLanguage();

  // The tray's items. Restart ends the loop in both modes (in service mode
  // that stops the service); the updater program then restarts the client
  // ("/R") or the service ("/RS").
  void miRestartClick();
  void miCloseClick();
  // `_UpdateInfoClick`: asks the server for the account's statistics on a
  // thread of its own and returns at once; form().UpdateInfo is disabled
  // until the answer has been applied here on the main thread (statistics
  // replaced and shown, or the failure shown through the prompts).
  void UpdateInfoClick();
  // `CheckNewUpdate`: starts the update check, or, while a download runs,
  // asks whether to cancel it.
  void CheckNewUpdateClick() { updater_.CheckNewUpdateClick(); }
  UpdateController& updater() { return updater_; }
  bool RestartRequested() const { return restart_requested_; }
  // After the loop, on every exit: starts the updater program with "/RS"
  // (restart in service mode), "/R" (restart) or no switch. A failure to
  // start it is ignored.
  void RunUpdater();

  KorvanForm& form() { return form_; }
  const KorvanForm& form() const { return form_; }
  ProxyEngine& engine() { return *engine_; }
  const TextTable& texts() const { return texts_; }
  const LanguageState& language() const { return language_; }
  const TSupportLanguagesAr& languages() const { return languages_; }
  const std::filesystem::path& app_dir() const { return options_.app_dir; }
  const std::filesystem::path& data_dir() const { return options_.data_dir; }

 private:
  bool Fail(std::string_view text, std::string detail);
  void ApplyAccountReply(const AccountReply& reply);

  PlatformServices platform_;
  CoreOptions options_;
  TextTable texts_;
  LanguageState language_;
  TSupportLanguagesAr languages_;
  KorvanForm form_;
  WordListPtr words_;
  std::unique_ptr<ProxyEngine> engine_;
  AccountQuery account_query_;
  UpdateController updater_;
  MainLoop::TimerId timer_ = 0;
  bool started_ = false;
  bool restart_requested_ = false;
  std::string start_error_detail_;
};

}  // namespace korvan
