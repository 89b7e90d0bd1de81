#include "server/ftp_fetch.h"

#include <curl/curl.h>
#include <sys/socket.h>

#include <boost/asio/post.hpp>

#include <cstring>
#include <ctime>

#include "common/mutex.h"
#include "common/thread_annotations.h"

namespace korvan::server {

// What the curl thread and the strand share.
struct FtpChannel {
  explicit FtpChannel(asio::any_io_executor on, std::weak_ptr<asio::steady_timer> timer)
      : strand(std::move(on)), wake(std::move(timer)) {}

  const asio::any_io_executor strand;
  const std::weak_ptr<asio::steady_timer> wake;  // touched on the strand only

  Mutex mutex;
  CondVar room;  // the strand took bytes, or the transfer was cancelled
  Bytes data KORVAN_GUARDED_BY(mutex);
  bool started KORVAN_GUARDED_BY(mutex) = false;  // the file's bytes began (or it was empty)
  std::optional<std::uint64_t> size KORVAN_GUARDED_BY(mutex);
  std::optional<FtpResult> result KORVAN_GUARDED_BY(mutex);
  bool cancelled KORVAN_GUARDED_BY(mutex) = false;
  bool wake_posted KORVAN_GUARDED_BY(mutex) = false;
};

namespace {

constexpr long kReplyTimeoutSeconds = 30;
constexpr long kStallSeconds = 60;
// How often a curl thread waiting for room looks at the pool's stop flag.
constexpr std::chrono::milliseconds kRoomPoll{200};

void WakeStrand(const std::shared_ptr<FtpChannel>& channel) KORVAN_REQUIRES(channel->mutex) {
  if (channel->wake_posted) return;
  channel->wake_posted = true;
  asio::post(channel->strand, [channel] {
    {
      MutexLock lock(channel->mutex);
      channel->wake_posted = false;
    }
    if (const auto timer = channel->wake.lock()) timer->cancel();
  });
}

bool IsAddressLiteral(const std::string& host) {
  error_code ec;
  asio::ip::make_address(host, ec);
  return !ec;
}

struct TodayUtc {
  int year = 1970;
  int month = 1;
};

TodayUtc Today() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1};
}

class CurlJob {
 public:
  CurlJob(std::shared_ptr<FtpChannel> channel, FtpRequest request, const FtpPool& pool)
      : channel_(std::move(channel)), request_(std::move(request)), pool_(pool) {}
  ~CurlJob() {
    if (resolve_ != nullptr) curl_slist_free_all(resolve_);
  }
  CurlJob(const CurlJob&) = delete;
  CurlJob& operator=(const CurlJob&) = delete;

  void Run() {
    FtpResult result;
    CURL* easy = curl_easy_init();
    if (easy == nullptr) {
      result.failure = FtpFailure::kFailed;
      result.detail = "libcurl could not start";
    } else {
      easy_ = easy;
      try {
        result = Fetch();
      } catch (const std::exception& e) {  // out of memory: the strand must still hear of the end
        result = FtpResult{};
        result.failure = FtpFailure::kFailed;
        result.detail = e.what();
      }
    }
    {
      MutexLock lock(channel_->mutex);
      if (channel_->cancelled) result.failure = FtpFailure::kCancelled;
      channel_->result = std::move(result);
      WakeStrand(channel_);
    }
    // After the result: QUIT may wait for the server's reply.
    if (easy != nullptr) curl_easy_cleanup(easy);
  }

 private:
  bool Cancelled() {
    MutexLock lock(channel_->mutex);
    return channel_->cancelled || pool_.stopping();
  }

  void Setup() {
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT, static_cast<long>(request_.connect_timeout.count()));
    curl_easy_setopt(easy_, CURLOPT_SERVER_RESPONSE_TIMEOUT, kReplyTimeoutSeconds);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    // The data connection goes to the control connection's address, never
    // to one the server names: no bouncing into the server's own network.
    curl_easy_setopt(easy_, CURLOPT_FTP_SKIP_PASV_IP, 1L);
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, error_);
    curl_easy_setopt(easy_, CURLOPT_OPENSOCKETFUNCTION, &CurlJob::OpenSocket);
    curl_easy_setopt(easy_, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(easy_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy_, CURLOPT_XFERINFOFUNCTION, &CurlJob::Progress);
    curl_easy_setopt(easy_, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlJob::Reply);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, 64L * 1024);
    if (request_.user) {
      curl_easy_setopt(easy_, CURLOPT_USERNAME, request_.user->c_str());
      curl_easy_setopt(easy_, CURLOPT_PASSWORD, request_.password.c_str());
    }
    if (!IsAddressLiteral(request_.host) && !request_.addresses.empty()) {
      // libcurl connects to what the policy allowed, not to a second lookup.
      std::string entry = request_.host + ":" + std::to_string(request_.port) + ":";
      for (std::size_t i = 0; i < request_.addresses.size(); ++i) {
        const auto address = request_.addresses[i].address();
        if (i > 0) entry += ',';
        entry += address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
      }
      resolve_ = curl_slist_append(nullptr, entry.c_str());
      curl_easy_setopt(easy_, CURLOPT_RESOLVE, resolve_);
    }
  }

  CURLcode Perform(const std::string& url, bool listing, const char* command) {
    error_[0] = '\0';
    curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, command);
    if (listing) {
      listing_text_.clear();
      listing_cut_ = false;
      curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlJob::CollectListing);
    } else {
      curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlJob::PassFileBytes);
    }
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    return curl_easy_perform(easy_);
  }

  long LastReply() {
    long reply = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &reply);
    return reply;
  }

  FtpResult Failure(CURLcode code) {
    FtpResult result;
    result.failure = Cancelled() ? FtpFailure::kCancelled : ClassifyCurlResult(code, LastReply(), logged_in_);
    result.detail = error_[0] != '\0' ? std::string(error_) : std::string(curl_easy_strerror(code));
    return result;
  }

  FtpResult Fetch() {
    Setup();
    if (!request_.file_url.empty()) {
      const CURLcode code = Perform(request_.file_url, false, nullptr);
      bool started = false;
      {
        MutexLock lock(channel_->mutex);
        if (code == CURLE_OK && !channel_->started) {
          // An empty file: no byte ever reached PassFileBytes.
          channel_->started = true;
          channel_->size = 0;
        }
        started = channel_->started;
      }
      if (code == CURLE_OK) return {};
      if (started) return Failure(code);
      const bool missing = code == CURLE_REMOTE_FILE_NOT_FOUND || code == CURLE_REMOTE_ACCESS_DENIED ||
                           (code == CURLE_FTP_COULDNT_RETR_FILE && LastReply() == 550);
      if (!missing) return Failure(code);
    }
    return List();
  }

  FtpResult List() {
    FtpResult result;
    result.is_listing = true;
    CURLcode code = Perform(request_.directory_url, true, "MLSD");
    const bool got = code == CURLE_OK || (code == CURLE_WRITE_ERROR && listing_cut_);
    if (got) {
      result.used_mlsd = true;
      result.listing = ParseMlsd(Complete(listing_text_));
    } else {
      // Logged in and in the directory, but the server refused the command:
      // it may not know MLSD.
      const long reply = LastReply();
      if (!(logged_in_ && code == CURLE_FTP_COULDNT_RETR_FILE && reply >= 500 && reply < 600)) {
        FtpResult failure = Failure(code);
        failure.is_listing = true;
        return failure;
      }
      code = Perform(request_.directory_url, true, nullptr);
      if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && listing_cut_)) {
        FtpResult failure = Failure(code);
        failure.is_listing = true;
        return failure;
      }
      const TodayUtc today = Today();
      result.listing = ParseListOutput(Complete(listing_text_), today.year, today.month);
    }
    result.listing_cut = listing_cut_;
    return result;
  }

  // A cut listing loses its last, incomplete line.
  std::string_view Complete(const std::string& text) const {
    if (!listing_cut_) return text;
    const auto nl = text.rfind('\n');
    return nl == std::string::npos ? std::string_view() : std::string_view(text).substr(0, nl + 1);
  }

  static std::size_t PassFileBytes(char* data, std::size_t size, std::size_t count, void* self_pointer) {
    auto& self = *static_cast<CurlJob*>(self_pointer);
    const std::size_t n = size * count;
    const auto& channel = self.channel_;
    MutexLock lock(channel->mutex);
    if (!channel->started) {
      channel->started = true;
      curl_off_t length = -1;
      curl_easy_getinfo(self.easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
      if (length >= 0) channel->size = static_cast<std::uint64_t>(length);
      WakeStrand(channel);
    }
    while (channel->data.size() >= kFtpChannelBytes && !channel->cancelled && !self.pool_.stopping()) {
      channel->room.WaitUntil(channel->mutex, std::chrono::steady_clock::now() + kRoomPoll);
    }
    if (channel->cancelled || self.pool_.stopping()) return 0;  // ends the transfer
    channel->data.insert(channel->data.end(), data, data + n);
    WakeStrand(channel);
    return n;
  }

  static std::size_t CollectListing(char* data, std::size_t size, std::size_t count, void* self_pointer) {
    auto& self = *static_cast<CurlJob*>(self_pointer);
    const std::size_t n = size * count;
    const std::size_t room = kMaxListingBytes - self.listing_text_.size();
    if (n > room) {
      self.listing_text_.append(data, room);
      self.listing_cut_ = true;
      return 0;
    }
    self.listing_text_.append(data, n);
    return n;
  }

  // Every reply line of the control connection.
  static std::size_t Reply(char* data, std::size_t size, std::size_t count, void* self_pointer) {
    auto& self = *static_cast<CurlJob*>(self_pointer);
    const std::size_t n = size * count;
    if (n >= 4 && std::memcmp(data, "230", 3) == 0 && data[3] == ' ') self.logged_in_ = true;
    return n;
  }

  static int Progress(void* self_pointer, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<CurlJob*>(self_pointer)->Cancelled() ? 1 : 0;
  }

  static curl_socket_t OpenSocket(void* self_pointer, curlsocktype, curl_sockaddr* address) {
    const auto& self = *static_cast<CurlJob*>(self_pointer);
    asio::ip::address ip;
    if (address->family == AF_INET && address->addrlen >= sizeof(sockaddr_in)) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(&address->addr);
      asio::ip::address_v4::bytes_type bytes;
      std::memcpy(bytes.data(), &in->sin_addr, bytes.size());
      ip = asio::ip::address_v4(bytes);
    } else if (address->family == AF_INET6 && address->addrlen >= sizeof(sockaddr_in6)) {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address->addr);
      asio::ip::address_v6::bytes_type bytes;
      std::memcpy(bytes.data(), &in6->sin6_addr, bytes.size());
      ip = asio::ip::address_v6(bytes);
    } else {
      return CURL_SOCKET_BAD;
    }
    if (!self.request_.policy.Allows(ip)) return CURL_SOCKET_BAD;
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  }

  std::shared_ptr<FtpChannel> channel_;
  FtpRequest request_;
  const FtpPool& pool_;
  CURL* easy_ = nullptr;
  curl_slist* resolve_ = nullptr;
  char error_[CURL_ERROR_SIZE] = {};
  std::string listing_text_;
  bool listing_cut_ = false;
  bool logged_in_ = false;
};

void InitCurlOnce() {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  (void)ready;
}

}  // namespace

FtpFailure ClassifyCurlResult(int code, long reply, bool logged_in) {
  switch (static_cast<CURLcode>(code)) {
    case CURLE_OK:
      return FtpFailure::kNone;
    case CURLE_LOGIN_DENIED:
      return FtpFailure::kLoginRefused;
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_REMOTE_ACCESS_DENIED:
      return FtpFailure::kNotFound;
    case CURLE_FTP_COULDNT_RETR_FILE:
      return reply == 550 ? FtpFailure::kNotFound : FtpFailure::kFailed;
    case CURLE_ABORTED_BY_CALLBACK:
      return FtpFailure::kCancelled;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
      return FtpFailure::kUnreachable;
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      // Before the login, the host is not an FTP server we can use.
      return logged_in ? FtpFailure::kFailed : FtpFailure::kUnreachable;
    default:
      return FtpFailure::kFailed;
  }
}

FtpFetch::FtpFetch(const asio::any_io_executor& strand)
    : wake_(std::make_shared<asio::steady_timer>(strand)), channel_(std::make_shared<FtpChannel>(strand, wake_)) {}

FtpFetch::~FtpFetch() { Cancel(); }

bool FtpFetch::Start(FtpPool& pool, FtpRequest request) {
  InitCurlOnce();
  auto job = std::make_shared<CurlJob>(channel_, std::move(request), pool);
  return pool.TryStart([job] { job->Run(); });
}

void FtpFetch::Cancel() {
  {
    MutexLock lock(channel_->mutex);
    channel_->cancelled = true;
  }
  channel_->room.NotifyAll();
  wake_->cancel();
}

std::optional<FtpEvent> FtpFetch::TakeEvent() {
  MutexLock lock(channel_->mutex);
  FtpEvent event;
  if (channel_->started && !start_reported_) {
    start_reported_ = true;
    event.kind = FtpEvent::Kind::kFileStart;
    event.size = channel_->size;
    return event;
  }
  if (!channel_->data.empty()) {
    event.kind = FtpEvent::Kind::kData;
    event.data.swap(channel_->data);
    channel_->room.NotifyAll();
    return event;
  }
  if (channel_->result) {
    event.result = *channel_->result;
    return event;
  }
  if (channel_->cancelled) {
    event.result.failure = FtpFailure::kCancelled;
    return event;
  }
  return std::nullopt;
}

Task<FtpEvent> FtpFetch::Next() {
  for (;;) {
    if (auto event = TakeEvent()) co_return std::move(*event);
    wake_->expires_at(asio::steady_timer::time_point::max());
    error_code ec;
    co_await wake_->async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
}

}  // namespace korvan::server
