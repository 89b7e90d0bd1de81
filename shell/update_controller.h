// The UI thread's side of the self-updater: the `CheckNewUpdate` button
// (check, then cancel while a download runs), the download gauge, the
// updater's connection state for the admission check, the log lines, the
// restart offer, and the lifetime of the two updater threads.
//
// Thread rule: main thread only. The threads reach it through UpdaterHost
// calls inside MainThread::Invoke.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "localisation/language_state.h"
#include "localisation/text_table.h"
#include "shell/korvan_form.h"
#include "shell/platform_services.h"
#include "shell/proxy_engine.h"
#include "updater/update_threads.h"

namespace korvan {

class UpdateController final : public UpdaterHost {
 public:
  struct Folders {
    std::filesystem::path app_dir;   // the installed files
    std::filesystem::path data_dir;  // Update/ lies here
  };

  UpdateController(KorvanForm& form, MainLoop& loop, Network& network, UpdateDialogs& dialogs, const TextTable& texts,
                   const LanguageState& language, LocaleFormat locale, Folders folders, std::function<void()> restart);
  ~UpdateController() override;
  UpdateController(const UpdateController&) = delete;
  UpdateController& operator=(const UpdateController&) = delete;

  // From Start on, the engine carries the updater's requests; before, and
  // after Stop, a click does nothing.
  void Start(ProxyEngine& engine);
  // Ends both threads (running their hand-offs meanwhile; each gives up
  // within its time-outs) and forgets the engine.
  void Stop();

  // The button's caption in the language now applied.
  void ApplyTexts();
  // `CheckNewUpdateClick`.
  void CheckNewUpdateClick();
  // Waits for the threads shorter in tests.
  void set_wait_times(std::uint32_t check_ms, std::uint32_t download_ms, std::uint32_t io_ms);

  bool check_running() const { return check_ != nullptr; }
  bool download_running() const { return download_ != nullptr; }
  // The list handed from the check to the download (`UpdateFiles`).
  const UpdateFileList& update_files() const { return UpdateFiles; }

  // UpdaterHost
  void PublishStatus(std::int32_t status) override;
  std::string UpdaterLastError() override;
  std::int32_t ShowMessageBox(const MessageBoxRequest& request) override { return dialogs_.ShowMessageBox(request); }
  UpdateDialogAnswer ShowUpdateDialog(const UpdateDialogRequest& request) override {
    return dialogs_.ShowUpdateDialog(request);
  }
  void StartDownload(const UpdateFileList& files) override;
  void AddProgress(std::int64_t bytes) override;
  void CheckEnded(const std::string& message) override;
  void DownloadEnded(bool succeeded) override;

 private:
  UpdaterContext Context();
  void SetButton(TextKey caption, int tag, bool enabled);
  // Destroys the threads that have returned, from a posted call (never
  // inside their own hand-off).
  void ReapLater();
  void Reap();

  KorvanForm& form_;
  MainLoop& loop_;
  Network& network_;
  UpdateDialogs& dialogs_;
  const TextTable& texts_;
  const LanguageState& language_;
  LocaleFormat locale_;
  Folders folders_;
  std::function<void()> restart_;
  ProxyEngine* engine_ = nullptr;
  UpdaterSettings timing_;
  UpdateFileList UpdateFiles;
  std::unique_ptr<TCheckUpdateThread> check_;
  std::unique_ptr<TDownloadUpdateThread> download_;
  // Threads that ended and wait to be destroyed.
  std::vector<std::unique_ptr<TUpdateThread>> ended_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace korvan
