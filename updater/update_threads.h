// The self-updater's two threads. Both reach the update server through the
// program's own local HTTP port on "localhost", so their requests travel
// through the tunnel like a browser's.
//
// `TCheckUpdateThread` fetches the version info file, decides which program
// files differ from the published ones (by MD5), shows what is new and, on
// Yes, hands the list to the UI thread, which starts a
// `TDownloadUpdateThread`. That one fetches every file, unpacks it, checks
// it against its published digest and only then stores it in Update/ (under
// a temporary name, renamed when whole). The program files themselves are
// replaced by korvan-update after the program has ended.
//
// Thread rule: a thread object is created, asked to terminate and destroyed
// on the UI thread. Everything that touches the UI or shared state runs on
// the UI thread through MainThread::Invoke, which the thread waits for: the
// UpdaterHost calls, message boxes and dialogs.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "localisation/product_version.h"
#include "localisation/text_table.h"
#include "tunnel/worker_environment.h"
#include "updater/update_types.h"

namespace korvan {

// What a thread needs of the UI thread. Every method runs there.
class UpdaterHost {
 public:
  virtual ~UpdaterHost() = default;
  // `UpdaterLocalPort` := status (-1 idle, -2 connecting, else the port).
  virtual void PublishStatus(std::int32_t status) = 0;
  // `UpdaterLastError`: how the last tunnel of an updater request ended.
  virtual std::string UpdaterLastError() = 0;
  virtual std::int32_t ShowMessageBox(const MessageBoxRequest& request) = 0;
  virtual UpdateDialogAnswer ShowUpdateDialog(const UpdateDialogRequest& request) = 0;
  // The user agreed: start the download of `files`.
  virtual void StartDownload(const UpdateFileList& files) = 0;
  // Body bytes of a download arrived.
  virtual void AddProgress(std::int64_t bytes) = 0;
  // The last call of each thread. The host must not destroy the thread
  // object inside these calls (the thread is still returning from them).
  virtual void CheckEnded(const std::string& message) = 0;
  virtual void DownloadEnded(bool succeeded) = 0;
};

// What a thread is given, copied on the UI thread when it starts.
struct UpdaterSettings {
  std::filesystem::path app_dir;     // `AppDir`: the installed files
  std::filesystem::path update_dir;  // where downloads are stored: AppDir/Update
  std::uint16_t port = 3128;         // `UpdaterPort`
  std::string update_host;           // host or host:port
  std::string version_text;          // `VersionText`, for the User-Agent
  ProductVersion product_version;
  std::string help_file_name;        // `HelpFileName` of the language
  std::string preferred_languages;   // `PreferredUpdLanguages`
  std::string thousands_separator = ",";
  std::string decimal_separator = ".";
  // A package manager owns the program folder: the check says so and offers
  // nothing.
  bool managed_by_package = false;
  // Waits for data: 20 s in the check, 200 s per download; each read and
  // write gives up after 10 s. Tests shorten them.
  std::uint32_t check_wait_ms = 20000;
  std::uint32_t download_wait_ms = 200000;
  std::uint32_t io_timeout_ms = 10000;
};

struct UpdaterContext {
  MainThread& ui;
  Network& network;
  UpdaterHost& host;
  const TextTable& texts;
  UpdaterSettings settings;
};

// The base of both threads: the fields they share and the calls they make
// on the UI thread.
class TUpdateThread {
 public:
  virtual ~TUpdateThread();
  TUpdateThread(const TUpdateThread&) = delete;
  TUpdateThread& operator=(const TUpdateThread&) = delete;

  // Asks the thread to end soon; it is read between waits of at most a
  // tenth of a second.
  void Terminate() { terminated_ = true; }
  bool terminated() const { return terminated_; }
  // True once the thread's main routine has returned.
  bool finished() const { return finished_; }

 protected:
  explicit TUpdateThread(UpdaterContext context);
  // Starts Execute on the thread; the subclass calls it last in its
  // constructor.
  void Run();
  // Waits for the thread; every subclass destructor calls it first.
  void Join();
  virtual void Execute() = 0;

  std::int32_t ShowMessageBox(const std::string& text, const std::string& caption, std::uint32_t type);
  void PublishStatus(std::int32_t status);
  std::string LastError();
  std::string Text(TextKey key) const { return std::string(context_.texts.Text(key)); }
  // Status -2, connect to localhost:`UpdaterPort`, Status := its local
  // port; the time-out set for each read and write.
  void OpenConnection();
  void CloseConnection();
  // Waits up to `limit_ms` for the next bytes and appends them. False when
  // nothing came in time, the connection ended, or a terminate was asked.
  bool ReceiveMore(std::string& response, std::uint32_t limit_ms);

  UpdaterContext context_;

  // The message box request, filled by the thread, shown on the UI thread.
  std::string box_text_;
  std::string box_caption_;
  std::uint32_t box_type_ = 0;
  std::int32_t box_result_ = 0;
  std::int32_t Status = -1;
  UpdateFileList files_;
  std::string HelpName;
  std::string HelpURL;
  std::int32_t HelpSize = 0;
  std::string HelpHash;
  std::string HashPath;
  std::string HashText;
  std::string Message;
  std::unique_ptr<StreamSocket> Socket;

 private:
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

class TCheckUpdateThread final : public TUpdateThread {
 public:
  explicit TCheckUpdateThread(UpdaterContext context);
  ~TCheckUpdateThread() override;

 private:
  void Execute() override;
  // The check proper; returns with Message set.
  void Check();
  // Fetches the version info file; false (Message set, box shown) when it
  // failed.
  bool FetchVersionInfo(std::string& body);
  void Fail(TextKey fallback);
  void Refuse();

  std::string Description;
  std::int32_t TotalSize = 0;
};

class TDownloadUpdateThread final : public TUpdateThread {
 public:
  TDownloadUpdateThread(UpdaterContext context, UpdateFileList files);
  ~TDownloadUpdateThread() override;

 private:
  void Execute() override;
  enum class Outcome { kStored, kCancelled, kFailed };
  Outcome Fetch(const UpdateFileEntry& entry);
  // Checks and stores one body; a box with UpdateErr when it is refused.
  void StoreFile(const UpdateFileEntry& entry, std::string_view body);
  void ShowUpdateErr();

  std::int32_t Index = 0;
  std::int32_t Increment = 0;
  std::string Response;
  std::size_t HeaderEnd = 0;
  std::int64_t ContentLength = 0;
  bool Succeeded = false;
};

// Bytes of a response beyond which a download is refused instead of filling
// memory: the largest container plus room for the head.
inline constexpr std::size_t kMaxUpdateResponse = (256u << 20) + (64u << 10);

}  // namespace korvan
