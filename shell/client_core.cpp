#include "shell/client_core.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "localisation/apply_language.h"
#include "resources/flash_movie.h"

namespace korvan {
namespace {

constexpr std::string_view kNoLanguageText = "Language definition file was not found.";
constexpr std::string_view kDamagedWordListText = "File KORVAN.LVK is corrupted.";
constexpr std::chrono::milliseconds kTimerInterval{1000};

ShellServices FormServices(const PlatformServices& p, const TextTable& texts) {
  return ShellServices{p.profile, p.listeners,    p.loop,  p.clock,         p.system_proxy,
                       p.autostart, p.prompts, texts, p.locale, p.host_identity};
}

}  // namespace

ClientCore::ClientCore(PlatformServices platform, CoreOptions options)
    : platform_(std::move(platform)),
      options_(std::move(options)),
      language_(InitialLanguageState(texts_)),
      form_(FormServices(platform_, texts_)),
      account_query_(platform_.loop, platform_.network, platform_.clock),
      updater_(form_, platform_.loop, platform_.network, platform_.update_dialogs, texts_, language_, platform_.locale,
               {options_.app_dir, options_.data_dir.empty() ? options_.app_dir : options_.data_dir},
               [this] { miRestartClick(); }) {
  if (options_.data_dir.empty()) options_.data_dir = options_.app_dir;
  form_.SetServiceMode(options_.service_mode);
}

ClientCore::~ClientCore() { Stop(); }

bool ClientCore::Fail(std::string_view text, std::string detail) {
  start_error_detail_ = std::move(detail);
  platform_.prompts.ShowError(text);
  return false;
}

bool ClientCore::Start() {
  if (started_) return true;
  const std::filesystem::path& app_dir = options_.app_dir;

  // Languages: the configuration's choice, else the user's, else the first,
  // applied at once so that the log's start line is already in it.
  languages_ = FindLanguages(app_dir);
  if (languages_.empty()) return Fail(kNoLanguageText, "no *.kvl file in " + app_dir.string());
  form_.settings.language_files.clear();
  form_.settings.LanguageCB.items.clear();
  for (const auto& l : languages_) {
    form_.settings.language_files.push_back(l.FileName);
    form_.settings.LanguageCB.items.push_back(l.LanguageName);
  }
  form_.SelectStoredLanguage(platform_.user_language);
  form_.settings.LanguageCB.select(std::max(0, form_.settings.LanguageCB.index));
  ApplySelectedLanguage();

  // The word list before any port opens: no worker may pack without it.
  std::string error;
  words_ = LoadWordList(app_dir / "korvan.lvk", &error);
  if (!words_) return Fail(kDamagedWordListText, error);
  engine_ = std::make_unique<ProxyEngine>(form_, texts_, language_, FlashMovieResource());
  // The cap too: the ports open with the configuration, and their first
  // connections already count.
  form_.ReadMaxConnections();
  platform_.workers.Begin(*engine_, *words_, static_cast<std::size_t>(form_.MaxConnections()));

  const std::filesystem::path log_path = options_.data_dir / "korvan.log";
  auto log_file = platform_.log_files.Open(log_path, &error);
  if (!log_file) {
    const std::string text = log_path.string() + ": " + error;
    return Fail(text, error);
  }
  form_.set_word_list_version(words_->version());
  form_.Open(std::move(log_file), {});
  timer_ = platform_.loop.StartTimer(kTimerInterval, [this] { form_.Timer1Timer(); });
  updater_.Start(*engine_);
  started_ = true;
  return true;
}

void ClientCore::Stop() {
  if (!started_) return;
  started_ = false;
  // A query's answer must not reach a form that is closing.
  account_query_.Cancel();
  // A download's last hand-offs still reach the form.
  updater_.Stop();
  form_.UpdateInfo.enabled = true;
  platform_.loop.StopTimer(timer_);
  form_.Close();
  platform_.workers.EndAll();
}

void ClientCore::ApplySelectedLanguage() {
  const int index = form_.settings.LanguageCB.index;
  if (index < 0 || static_cast<std::size_t>(index) >= languages_.size()) return;
  ApplyLanguage(options_.app_dir / languages_[static_cast<std::size_t>(index)].FileName, options_.app_dir, texts_,
                language_);
  // The edit button and the LAN item carry texts of the table, not captions.
  auto& page = form_.communication;
  page.Button1.text = texts_.Text(form_.edit_mode() ? TextKey::btnCancel : TextKey::btnEdit);
  if (!page.ConnectionsLB.items.empty()) {
    page.ConnectionsLB.items[0].text = std::string(kConnectionPrefix).append(texts_.Text(TextKey::LANSettings));
  }
  updater_.ApplyTexts();
  form_.changes.Notify(ModelChange::kSettings);
}

void ClientCore::miRestartClick() {
  restart_requested_ = true;
  // In service mode the service ends itself: its main process leaves the
  // loop and exits, which stops the unit (without asking systemd for a
  // right the service user lacks, and also when no systemd runs it), and
  // korvan-update then starts it again with "/RS".
  platform_.loop.Quit();
}

void ClientCore::miCloseClick() { platform_.loop.Quit(); }

void ClientCore::UpdateInfoClick() {
  if (!started_ || account_query_.running()) return;
  form_.UpdateInfo.enabled = false;
  form_.changes.Notify(ModelChange::kStatistics);
  account_query_.Start(AccountQueryInputs(form_.working), [this](const AccountReply& reply) { ApplyAccountReply(reply); });
}

void ClientCore::ApplyAccountReply(const AccountReply& reply) {
  if (reply.sent) {
    const auto request = static_cast<std::uint32_t>(reply.request_size);
    const auto received = static_cast<std::uint32_t>(reply.reply_size);
    form_.AddTraffic(reply.send_tick, reply.send_tick, request, request, 0, 0);
    form_.AddTraffic(reply.receive_tick, reply.receive_tick, 0, 0, received, received);
  }
  switch (reply.outcome) {
    case AccountOutcome::kUpdated:
      // The server's totals replace ours whole; workers add on from here.
      form_.statistics = reply.block;
      form_.ShowStatistics();
      break;
    case AccountOutcome::kInvalidUser:
      platform_.prompts.ShowError(texts_.Text(TextKey::InvalidUserOrPwd));
      break;
    case AccountOutcome::kServerText:
    case AccountOutcome::kNoConnection:
      platform_.prompts.ShowError(reply.text.empty() ? texts_.Text(TextKey::ServerConnectionErr)
                                                     : std::string_view(reply.text));
      break;
  }
  form_.UpdateInfo.enabled = true;
  form_.changes.Notify(ModelChange::kStatistics);
}

void ClientCore::RunUpdater() {
  const std::filesystem::path program = options_.app_dir / kUpdaterProgram;
  const std::filesystem::path delivered = options_.data_dir / "Update" / kUpdaterProgram;
  std::error_code ec;
  if (std::filesystem::exists(delivered, ec)) {
    // rename() replaces the old program in one step.
    std::filesystem::rename(delivered, program, ec);
  }
  std::vector<std::string> arguments;
  if (restart_requested_) arguments.push_back(options_.service_mode ? "/RS" : "/R");
  if (restart_requested_ && !options_.service_mode && !options_.config_dir_argument.empty()) {
    arguments.insert(arguments.end(), {"--config-dir", options_.config_dir_argument.string()});
  }
  // The updater replaces files only once this process has ended.
  if (platform_.process_id > 0) {
    arguments.push_back("--pid");
    arguments.push_back(std::to_string(platform_.process_id));
  }
  platform_.processes.Start(program, arguments);
}

}  // namespace korvan
