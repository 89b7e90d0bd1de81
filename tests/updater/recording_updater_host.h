// The UI thread's side of the updater threads, recorded for the tests;
// dialogs are answered as the test says.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "updater/update_threads.h"

namespace korvan::test {

// What the UI thread was asked to do.
class RecordingUpdaterHost : public UpdaterHost {
 public:
  std::vector<std::int32_t> statuses;
  std::vector<MessageBoxRequest> boxes;
  std::vector<UpdateDialogRequest> dialogs;
  std::vector<UpdateFileList> downloads;
  std::int64_t progress = 0;
  std::optional<std::string> check_message;
  std::optional<bool> download_succeeded;
  std::string last_error;
  UpdateDialogAnswer answer{true, true};

  void PublishStatus(std::int32_t status) override { statuses.push_back(status); }
  std::string UpdaterLastError() override { return last_error; }
  std::int32_t ShowMessageBox(const MessageBoxRequest& request) override {
    boxes.push_back(request);
    return kIdOk;
  }
  UpdateDialogAnswer ShowUpdateDialog(const UpdateDialogRequest& request) override {
    dialogs.push_back(request);
    return answer;
  }
  void StartDownload(const UpdateFileList& files) override { downloads.push_back(files); }
  void AddProgress(std::int64_t bytes) override { progress += bytes; }
  void CheckEnded(const std::string& message) override { check_message = message; }
  void DownloadEnded(bool succeeded) override { download_succeeded = succeeded; }
};

}  // namespace korvan::test
