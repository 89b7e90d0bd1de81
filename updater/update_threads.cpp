#include "updater/update_threads.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <system_error>

#include "localisation/text_format.h"
#include "updater/file_digest.h"
#include "updater/format_size.h"
#include "updater/update_block.h"
#include "updater/update_description.h"
#include "updater/update_http.h"
#include "updater/update_signature.h"
#include "updater/version_info.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;

// Waits are cut into slices this long, so that a terminate is seen soon.
constexpr std::uint32_t kSliceMs = 100;
// More entries than this are no real update.
constexpr std::int32_t kMaxEntries = 10000;

std::string Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return std::string(text);
}

std::optional<std::string> ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return content;
}

// Writes `content` to a temporary file in `folder` and renames it to
// `name`, so that a reader never finds half a file under that name.
bool WriteWhole(const fs::path& folder, const std::string& name, std::string_view content) {
  const fs::path target = folder / name;
  const fs::path temporary = folder / ("." + name + ".part");
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.flush();
    if (!out) {
      out.close();
      std::error_code ignored;
      fs::remove(temporary, ignored);
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temporary, target, ec);
  if (ec) {
    fs::remove(temporary, ec);
    return false;
  }
  return true;
}

}  // namespace

TUpdateThread::TUpdateThread(UpdaterContext context) : context_(std::move(context)) {}

TUpdateThread::~TUpdateThread() { Join(); }

void TUpdateThread::Run() {
  thread_ = std::thread([this] {
    Execute();
    finished_ = true;
  });
}

void TUpdateThread::Join() {
  if (thread_.joinable()) thread_.join();
}

std::int32_t TUpdateThread::ShowMessageBox(const std::string& text, const std::string& caption, std::uint32_t type) {
  box_text_ = text;
  box_caption_ = caption;
  box_type_ = type;
  context_.ui.Invoke([this] { box_result_ = context_.host.ShowMessageBox({box_text_, box_caption_, box_type_}); });
  return box_result_;
}

void TUpdateThread::PublishStatus(std::int32_t status) {
  Status = status;
  context_.ui.Invoke([this] { context_.host.PublishStatus(Status); });
}

std::string TUpdateThread::LastError() {
  std::string text;
  context_.ui.Invoke([this, &text] { text = context_.host.UpdaterLastError(); });
  return text;
}

void TUpdateThread::OpenConnection() {
  PublishStatus(-2);
  Socket = context_.network.Connect("localhost", context_.settings.port);
  PublishStatus(Socket && Socket->IsOpen() ? Socket->LocalPort() : 0);
  if (Socket) Socket->SetTimeout(context_.settings.io_timeout_ms);
}

void TUpdateThread::CloseConnection() {
  if (Socket) Socket->Close();
  Socket.reset();
}

bool TUpdateThread::ReceiveMore(std::string& response, std::uint32_t limit_ms) {
  for (std::uint32_t waited = 0; !terminated(); waited += kSliceMs) {
    if (!Socket || !Socket->IsOpen()) return false;
    if (!Socket->Readable()) {
      if (waited >= limit_ms) return false;
      context_.network.WaitReadable(*Socket, *Socket, std::min(kSliceMs, limit_ms - waited));
      continue;
    }
    std::uint8_t buffer[65536];
    const long n = Socket->Read(buffer, sizeof buffer);
    if (n <= 0) return false;
    response.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
    return true;
  }
  return false;
}

// --- the check ---

TCheckUpdateThread::TCheckUpdateThread(UpdaterContext context) : TUpdateThread(std::move(context)) { Run(); }

TCheckUpdateThread::~TCheckUpdateThread() { Join(); }

void TCheckUpdateThread::Execute() {
  Check();
  // Also after a failure.
  if (Status != -1) PublishStatus(-1);
  CloseConnection();
  context_.ui.Invoke([this] { context_.host.CheckEnded(Message); });
}

// Any failure of the Parts' list: the tunnel's own error text when there is
// one, else `fallback`.
void TCheckUpdateThread::Fail(TextKey fallback) {
  Message = LastError();
  if (Message.empty()) Message = Text(fallback);
  ShowMessageBox(Message, "", kMbOk | kMbIconError);
}

// What the update server sent is refused outright (damaged, unsigned,
// hostile): a stale tunnel error would not explain it.
void TCheckUpdateThread::Refuse() {
  Message = Text(TextKey::UpdateErr);
  ShowMessageBox(Message, "", kMbOk | kMbIconError);
}

bool TCheckUpdateThread::FetchVersionInfo(std::string& body) {
  OpenConnection();
  if (!Socket || !Socket->IsOpen()) {
    Fail(TextKey::ServerConnectionErr);
    return false;
  }
  const UpdaterSettings& s = context_.settings;
  const std::string request = BuildUpdateRequest(VersionInfoUrl(s.update_host), s.update_host, s.version_text);
  if (!Socket->Write({reinterpret_cast<const std::uint8_t*>(request.data()), request.size()})) {
    Fail(TextKey::ServerConnectionErr);
    return false;
  }
  std::string response;
  std::size_t head_end = 0;
  std::int64_t content_length = -1;
  bool status_checked = false;
  bool ended = false;
  for (;;) {
    if (!ReceiveMore(response, s.check_wait_ms)) {
      ended = true;
      break;
    }
    // The status line is judged once, when its code has arrived.
    if (!status_checked && response.size() >= kStatusCheckSize) {
      status_checked = true;
      if (!StatusIs200(response)) {
        Fail(TextKey::UpdateErr);
        return false;
      }
    }
    if (response.size() > kMaxUpdateResponse) {
      Refuse();
      return false;
    }
    if (head_end == 0 && (head_end = HeadEndOf(response)) != 0) {
      content_length = ContentLengthOf(std::string_view(response).substr(0, head_end));
    }
    if (head_end != 0 && content_length >= 0 &&
        response.size() >= head_end + static_cast<std::size_t>(content_length)) {
      break;
    }
  }
  CloseConnection();
  if (terminated()) return false;
  // A head without Content-Length: the body is what came until the end of
  // the connection.
  const bool complete = head_end != 0 && status_checked &&
                        (content_length >= 0 ? response.size() >= head_end + static_cast<std::size_t>(content_length)
                                             : ended);
  if (!complete) {
    Fail(TextKey::ServerConnectionErr);
    return false;
  }
  body = response.substr(head_end);
  return true;
}

void TCheckUpdateThread::Check() {
  HelpName.clear();
  files_.clear();
  Description.clear();
  const UpdaterSettings& s = context_.settings;
  if (s.managed_by_package) {
    Message = Text(TextKey::UpdateByPackageManager);
    ShowMessageBox(Message, Text(TextKey::msgInformation), kMbOk | kMbIconInformation);
    return;
  }

  std::string body;
  if (!FetchVersionInfo(body)) return;

  // With the maker's public key beside the program, only a file it signed
  // counts.
  const fs::path key_path = s.app_dir / kUpdateSigningKeyFile;
  std::error_code ec;
  if (fs::exists(key_path, ec)) {
    const auto key = ReadWholeFile(key_path);
    if (!key || VerifyVersionInfo(body, *key) != SignatureCheck::kValid) {
      Refuse();
      return;
    }
  }

  const VersionInfoFile info(body);
  const auto count = ParseDecimal(info.Value("Count"));
  if (!count || *count > kMaxEntries) {
    Fail(TextKey::UpdateErr);
    return;
  }
  TotalSize = 0;
  for (std::int32_t i = 1; i <= *count; ++i) {
    const std::string n = std::to_string(i);
    const std::string name = info.Value("Name" + n);
    const std::string hash = info.Value("Hash" + n);
    const auto size = ParseDecimal(info.Value("Size" + n));
    if (!size) {
      Fail(TextKey::UpdateErr);
      return;
    }
    if (!IsSafeUpdateName(name)) {
      Refuse();
      return;
    }
    HashPath = (s.app_dir / name).string();
    HashText = FileDigestText(HashPath);
    const std::string installed = HashText;
    if (fs::exists(s.update_dir / name, ec)) HashText = FileDigestText(s.update_dir / name);
    if (EqualsIgnoringCase(HashText, hash) || EqualsIgnoringCase(installed, hash)) continue;
    files_.push_back({name, info.Value("URL" + n), *size, hash});
    TotalSize += *size;
  }

  const std::int32_t help_count = std::clamp(ParseDecimal(info.Value("HelpCount")).value_or(0), 0, kMaxEntries);
  const std::string wanted_help = Trim(s.help_file_name);
  for (std::int32_t j = 1; j <= help_count && !wanted_help.empty(); ++j) {
    const std::string n = std::to_string(j);
    if (!EqualsIgnoringCase(Trim(info.Value("HelpName" + n)), wanted_help)) continue;
    if (!IsSafeUpdateName(s.help_file_name)) {
      Refuse();
      return;
    }
    const std::string hash = info.Value("HelpHash" + n);
    const std::string installed = FileDigestText(s.app_dir / s.help_file_name);
    HashText = installed;
    if (fs::exists(s.update_dir / s.help_file_name, ec)) HashText = FileDigestText(s.update_dir / s.help_file_name);
    if (!EqualsIgnoringCase(HashText, hash) && !EqualsIgnoringCase(installed, hash)) {
      HelpName = s.help_file_name;
      HelpURL = info.Value("HelpURL" + n);
      HelpSize = ParseDecimal(info.Value("HelpSize" + n)).value_or(0);
      HelpHash = hash;
    }
    break;
  }

  if (files_.empty() && HelpName.empty()) {
    Message = Text(TextKey::NewVersionNotFound);
    ShowMessageBox(Message, Text(TextKey::msgInformation), kMbOk | kMbIconInformation);
    return;
  }

  Description = FilterDescription(PickDescription(info, s.preferred_languages), s.product_version);
  if (Description.empty() || Description == "\r\n") Description = Text(TextKey::UpdateInfoNotFound);
  UpdateDialogRequest dialog;
  dialog.caption = Text(TextKey::NewVersionFoundTitle);
  dialog.memo = FormatText(Text(TextKey::NewVersionFound),
                           {FormatSize(TotalSize, s.thousands_separator, s.decimal_separator), Description});
  dialog.question = Text(TextKey::UpdateQuery);
  dialog.yes_text = Text(TextKey::btnYes);
  dialog.no_text = Text(TextKey::btnNo);
  dialog.help_due = !HelpName.empty();
  if (dialog.help_due) {
    dialog.help_text =
        FormatText(Text(TextKey::UpdateHelp), {FormatSize(HelpSize, s.thousands_separator, s.decimal_separator)});
  }
  dialog.total_size = TotalSize;
  UpdateDialogAnswer answer;
  context_.ui.Invoke([this, &dialog, &answer] { answer = context_.host.ShowUpdateDialog(dialog); });
  if (dialog.help_due && answer.help_ticked) files_.push_back({HelpName, HelpURL, HelpSize, HelpHash});

  if (answer.yes && !files_.empty()) {
    context_.ui.Invoke([this] { context_.host.StartDownload(files_); });
  } else {
    Message = Text(TextKey::UpdateDenied);
  }
}

// --- the download ---

TDownloadUpdateThread::TDownloadUpdateThread(UpdaterContext context, UpdateFileList files)
    : TUpdateThread(std::move(context)) {
  files_ = std::move(files);
  Run();
}

TDownloadUpdateThread::~TDownloadUpdateThread() { Join(); }

void TDownloadUpdateThread::Execute() {
  bool stopped = false;
  for (std::size_t i = 0; i < files_.size() && !stopped; ++i) {
    Index = static_cast<std::int32_t>(i);
    stopped = Fetch(files_[i]) != Outcome::kStored;
  }
  Succeeded = !stopped;
  PublishStatus(-1);
  CloseConnection();
  context_.ui.Invoke([this] { context_.host.DownloadEnded(Succeeded); });
}

TDownloadUpdateThread::Outcome TDownloadUpdateThread::Fetch(const UpdateFileEntry& entry) {
  HeaderEnd = 0;
  ContentLength = 0;
  Increment = 0;
  Response.clear();
  OpenConnection();
  if (terminated()) return Outcome::kCancelled;
  auto fail = [this] {
    CloseConnection();
    Message = LastError();
    if (Message.empty()) Message = Text(TextKey::ServerConnectionErr);
    ShowMessageBox(Message, "", kMbOk | kMbIconError);
    return Outcome::kFailed;
  };
  if (!Socket || !Socket->IsOpen()) return fail();

  const std::string request = BuildUpdateRequest(entry.URL, HostOfUrl(entry.URL), context_.settings.version_text);
  if (!Socket->Write({reinterpret_cast<const std::uint8_t*>(request.data()), request.size()})) return fail();

  bool ended = false;
  for (;;) {
    const std::size_t before = Response.size();
    if (!ReceiveMore(Response, context_.settings.download_wait_ms)) {
      ended = true;
      break;
    }
    if (Response.size() > kMaxUpdateResponse) {
      CloseConnection();
      ShowUpdateErr();
      return Outcome::kStored;  // refused like a damaged file; the next one follows
    }
    if (HeaderEnd == 0 && (HeaderEnd = HeadEndOf(Response)) != 0) {
      ContentLength = ContentLengthOf(std::string_view(Response).substr(0, HeaderEnd));
    }
    Increment = 0;
    if (HeaderEnd != 0) {
      Increment = static_cast<std::int32_t>(Response.size() - std::max(before, HeaderEnd));
    }
    if (Increment > 0) context_.ui.Invoke([this] { context_.host.AddProgress(Increment); });
    if (HeaderEnd != 0 && ContentLength >= 0 && Response.size() >= HeaderEnd + static_cast<std::size_t>(ContentLength)) {
      break;
    }
  }
  if (terminated()) {
    CloseConnection();
    return Outcome::kCancelled;
  }
  CloseConnection();
  const bool complete =
      HeaderEnd != 0 &&
      (ContentLength >= 0 ? Response.size() >= HeaderEnd + static_cast<std::size_t>(ContentLength) : ended);
  if (!complete || StatusCodeOf(Response) != 200) return fail();
  StoreFile(entry, std::string_view(Response).substr(HeaderEnd));
  Response.clear();
  return Outcome::kStored;
}

void TDownloadUpdateThread::ShowUpdateErr() { ShowMessageBox(Text(TextKey::UpdateErr), "", kMbOk | kMbIconError); }

void TDownloadUpdateThread::StoreFile(const UpdateFileEntry& entry, std::string_view body) {
  std::error_code ec;
  fs::create_directories(context_.settings.update_dir, ec);
  std::string error;
  const auto content = IsSafeUpdateName(entry.Name) ? UnpackUpdateBlock(body, &error) : std::nullopt;
  // Only what matches its published digest is stored.
  if (!content || !EqualsIgnoringCase(DigestText(*content), entry.Hash) ||
      !WriteWhole(context_.settings.update_dir, entry.Name, *content)) {
    ShowUpdateErr();
  }
}

}  // namespace korvan
