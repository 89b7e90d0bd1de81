#include "shell/update_controller.h"

#include <chrono>
#include <system_error>
#include <thread>

#include "localisation/product_version.h"
#include "shell/client_core.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kUpdateFolder = "Update";

}  // namespace

UpdateController::UpdateController(KorvanForm& form, MainLoop& loop, Network& network, UpdateDialogs& dialogs,
                                   const TextTable& texts, const LanguageState& language, LocaleFormat locale,
                                   Folders folders, std::function<void()> restart)
    : form_(form),
      loop_(loop),
      network_(network),
      dialogs_(dialogs),
      texts_(texts),
      language_(language),
      locale_(std::move(locale)),
      folders_(std::move(folders)),
      restart_(std::move(restart)) {
  form_.CheckNewUpdate.text = texts_.Text(TextKey::btnCheckNewUpdate);
  form_.CheckNewUpdate.enabled = false;
}

UpdateController::~UpdateController() {
  Stop();
  *alive_ = false;
}

void UpdateController::Start(ProxyEngine& engine) {
  engine_ = &engine;
  SetButton(TextKey::btnCheckNewUpdate, 0, true);
}

void UpdateController::Stop() {
  if (check_) check_->Terminate();
  if (download_) download_->Terminate();
  // The threads may wait for a hand-off: run those until they return. Each
  // gives up within its read and write time-outs, so this ends.
  auto running = [this] {
    return (check_ && !check_->finished()) || (download_ && !download_->finished());
  };
  while (running()) {
    loop_.RunPending();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  check_.reset();
  download_.reset();
  ended_.clear();
  if (engine_) engine_->updater_local_port = kUpdaterIdle;
  engine_ = nullptr;
  form_.UpdatePrgrPVisible = false;
  form_.CheckNewUpdate.enabled = false;
  form_.changes.Notify(ModelChange::kUpdate);
}

void UpdateController::set_wait_times(std::uint32_t check_ms, std::uint32_t download_ms, std::uint32_t io_ms) {
  timing_.check_wait_ms = check_ms;
  timing_.download_wait_ms = download_ms;
  timing_.io_timeout_ms = io_ms;
}

UpdaterContext UpdateController::Context() {
  UpdaterSettings s = timing_;
  s.app_dir = folders_.app_dir;
  s.update_dir = folders_.data_dir / kUpdateFolder;
  s.port = static_cast<std::uint16_t>(form_.UpdaterPort());
  s.update_host = form_.UpdateHost();
  s.version_text = language_.version_text.empty() ? VersionText() : language_.version_text;
  s.product_version = CurrentProductVersion();
  s.help_file_name = language_.help_file_name;
  s.preferred_languages = language_.preferred_upd_languages;
  s.thousands_separator = locale_.thousands_separator;
  s.decimal_separator = locale_.decimal_separator;
  // korvan-update applies only an Update/ inside the program folder; any
  // other place means the program folder is not ours to change.
  s.managed_by_package = folders_.data_dir != folders_.app_dir;
  return UpdaterContext{loop_, network_, *this, texts_, std::move(s)};
}

void UpdateController::SetButton(TextKey caption, int tag, bool enabled) {
  form_.CheckNewUpdate.text = texts_.Text(caption);
  form_.CheckNewUpdateTag = tag;
  form_.CheckNewUpdate.enabled = enabled;
  form_.changes.Notify(ModelChange::kUpdate);
}

void UpdateController::ApplyTexts() {
  form_.CheckNewUpdate.text =
      texts_.Text(form_.CheckNewUpdateTag == 1 ? TextKey::btnCancelUpdate : TextKey::btnCheckNewUpdate);
  form_.changes.Notify(ModelChange::kUpdate);
}

void UpdateController::CheckNewUpdateClick() {
  if (!engine_) return;
  form_.WriteToLog(texts_.Text(TextKey::CheckNewVersion));
  if (form_.CheckNewUpdateTag != 1) {
    if (check_) return;  // the button is disabled while one runs
    form_.CheckNewUpdate.enabled = false;
    form_.changes.Notify(ModelChange::kUpdate);
    check_ = std::make_unique<TCheckUpdateThread>(Context());
    return;
  }
  if (!download_) return;
  const std::int32_t answer = dialogs_.ShowMessageBox(
      {std::string(texts_.Text(TextKey::CancelUpdateQuery)), std::string(texts_.Text(TextKey::msgQuestion)),
       kMbYesNo | kMbIconQuestion});
  if (answer != kIdYes) return;
  if (download_) {
    form_.WriteToLog(texts_.Text(TextKey::CancelUpdate));
    download_->Terminate();
  }
  form_.CheckNewUpdate.enabled = false;
  form_.changes.Notify(ModelChange::kUpdate);
}

void UpdateController::PublishStatus(std::int32_t status) {
  if (engine_) engine_->updater_local_port = status;
}

std::string UpdateController::UpdaterLastError() { return engine_ ? engine_->updater_last_error() : std::string(); }

void UpdateController::StartDownload(const UpdateFileList& files) {
  UpdateFiles = files;
  form_.UpdatePrgr.position = 0;
  form_.UpdatePrgr.max = 0;
  for (const auto& entry : UpdateFiles) form_.UpdatePrgr.max += entry.Size;
  form_.WriteToLog(texts_.Text(TextKey::UpdateStarted));
  form_.UpdatePrgrPVisible = true;
  SetButton(TextKey::btnCancelUpdate, 1, true);
  download_ = std::make_unique<TDownloadUpdateThread>(Context(), UpdateFiles);
}

void UpdateController::AddProgress(std::int64_t bytes) {
  form_.UpdatePrgr.position += bytes;
  form_.changes.Notify(ModelChange::kUpdate);
}

void UpdateController::CheckEnded(const std::string& message) {
  // While the download it started runs, the button is its cancel button
  // and the connection state is the download's.
  if (!download_) {
    form_.CheckNewUpdate.enabled = true;
    if (engine_) engine_->updater_local_port = kUpdaterIdle;
  }
  form_.changes.Notify(ModelChange::kUpdate);
  if (!message.empty()) form_.WriteToLog(message);
  if (check_) ended_.push_back(std::move(check_));
  ReapLater();
}

void UpdateController::DownloadEnded(bool succeeded) {
  if (download_) ended_.push_back(std::move(download_));
  form_.UpdatePrgrPVisible = false;
  SetButton(TextKey::btnCheckNewUpdate, 0, !succeeded);
  if (engine_) engine_->updater_local_port = kUpdaterIdle;
  if (succeeded) form_.WriteToLog(texts_.Text(TextKey::UpdateOK));
  // A new updater program is used at this program's own exit already.
  const fs::path delivered = folders_.data_dir / kUpdateFolder / kUpdaterProgram;
  std::error_code ec;
  if (fs::exists(delivered, ec)) fs::rename(delivered, folders_.app_dir / kUpdaterProgram, ec);
  ReapLater();
  if (succeeded &&
      dialogs_.ShowMessageBox({std::string(texts_.Text(TextKey::DownloadOK_Restart)),
                               std::string(texts_.Text(TextKey::msgQuestion)), kMbYesNo | kMbIconQuestion}) == kIdYes &&
      restart_) {
    restart_();
  }
}

void UpdateController::ReapLater() {
  loop_.Post([this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.lock()) Reap();
  });
}

void UpdateController::Reap() {
  std::erase_if(ended_, [](const auto& thread) {
    // A thread that has not returned yet is reaped by a later call.
    return thread->finished();
  });
  if (!ended_.empty()) ReapLater();
}

}  // namespace korvan
