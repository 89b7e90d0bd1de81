// One ftp:// request, fetched by libcurl on a thread of the FtpPool, and the
// session's side of it on the session's strand.
//
// A path that names a file is fetched with RETR; when the server has no such
// file, the same path is listed as a directory (the client's links to
// directories come without their final "/"). A directory is listed with
// MLSD, and with LIST when the server does not know MLSD. A file's bytes
// cross to the strand through a buffer of kFtpChannelBytes: the curl thread
// waits while it is full, so a slow client holds the FTP server back instead
// of filling memory. A listing is read whole, up to kMaxListingBytes.
//
// libcurl connects only to the addresses resolved and allowed beforehand,
// and every socket it opens (control and data) is checked against the
// target policy again. Time-outs: 15 s to connect, 30 s for any reply of the
// server, and 60 s without a byte while the transfer is not held back.
//
// Thread rule: an FtpFetch belongs to the strand it was made with. It shares
// a channel with the curl thread, whose `mutex` guards all of its changing
// state; the curl thread wakes the strand by posting to it and never touches
// an object of the strand. Cancel() or the destructor tells the thread to
// end; it does so within a second.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/asio.h"
#include "server/ftp_listing.h"
#include "server/ftp_pool.h"
#include "server/target_policy.h"

namespace korvan::server {

inline constexpr std::size_t kFtpChannelBytes = 256 * 1024;
inline constexpr std::size_t kMaxListingBytes = 4 << 20;

struct FtpRequest {
  std::string file_url;       // libcurl's URL for RETR; empty: list only
  std::string directory_url;  // libcurl's URL for the listing (ends with "/")
  std::optional<std::string> user;  // none: anonymous
  std::string password;
  std::string host;  // as in the URLs, for pinning it to `addresses`
  std::uint16_t port = 21;
  std::vector<tcp::endpoint> addresses;  // resolved and allowed
  TargetPolicy policy;
  std::chrono::seconds connect_timeout{15};
};

enum class FtpFailure {
  kNone,
  kUnreachable,   // no connection, or no FTP server answering on it
  kLoginRefused,  // the server refused the user or the password
  kNotFound,      // neither a file nor a directory of that name (or not ours to see)
  kFailed,        // anything else the server or the transfer did wrong
  kCancelled,     // Cancel(), or the server is stopping
};

struct FtpResult {
  FtpFailure failure = FtpFailure::kNone;
  std::string detail;       // libcurl's words, for the log
  bool is_listing = false;  // a directory's listing, not a file
  ParsedListing listing;
  bool listing_cut = false;  // longer than kMaxListingBytes
  bool used_mlsd = false;
};

struct FtpEvent {
  enum class Kind { kFileStart, kData, kDone };
  Kind kind = Kind::kDone;
  std::optional<std::uint64_t> size;  // kFileStart: the file's size when the server told it
  Bytes data;                         // kData
  FtpResult result;                   // kDone
};

// The result of libcurl's code `code` after an FTP transfer whose last reply
// was `reply`; `logged_in` once the server accepted the login.
FtpFailure ClassifyCurlResult(int code, long reply, bool logged_in);

struct FtpChannel;

class FtpFetch {
 public:
  explicit FtpFetch(const asio::any_io_executor& strand);
  ~FtpFetch();
  FtpFetch(const FtpFetch&) = delete;
  FtpFetch& operator=(const FtpFetch&) = delete;

  // Starts the transfer; false when the pool runs its most already.
  bool Start(FtpPool& pool, FtpRequest request);
  // The next event: for a file kFileStart, then kData as bytes arrive, then
  // kDone; for a listing or a failure kDone alone.
  Task<FtpEvent> Next();
  void Cancel();

 private:
  std::optional<FtpEvent> TakeEvent();

  std::shared_ptr<asio::steady_timer> wake_;
  std::shared_ptr<FtpChannel> channel_;
  bool start_reported_ = false;
};

}  // namespace korvan::server
