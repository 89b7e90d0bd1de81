#include "server/ftp_proxy.h"

#include <span>
#include <string_view>

#include "server/ftp_answers.h"
#include "server/ftp_fetch.h"
#include "server/ftp_listing.h"
#include "server/http_messages.h"
#include "server/log.h"
#include "server/replies.h"
#include "server/target_connector.h"
#include "wire/frame_format.h"

namespace korvan::server {

namespace {

std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class FtpAnswer {
 public:
  FtpAnswer(ServiceContext& context, const FtpTarget& target, bool head, bool keep_alive)
      : c_(context), target_(target), head_(head), keep_alive_(keep_alive), fetch_(context.executor) {}

  Task<bool> Run();

 private:
  Task<bool> Page(unsigned status, std::string_view reason, const std::string& message) {
    const std::string answer = FtpErrorAnswer(status, reason, message, keep_alive_, head_);
    co_await c_.writer.SendData(AsBytes(answer));
    co_return keep_alive_;
  }
  Task<bool> Failed(const FtpResult& result);
  Task<bool> Listing(const FtpResult& result);
  Task<bool> File(std::optional<std::uint64_t> size);
  void LogLine(const std::string& text) const {
    Log(c_.name + ": " + Printable(Where(), 300) + ": " + text);
  }
  std::string Where() const {
    return "ftp://" + target_.address.host + ":" + std::to_string(target_.address.port) + target_.path();
  }

  ServiceContext& c_;
  const FtpTarget& target_;
  const bool head_;
  const bool keep_alive_;
  FtpFetch fetch_;
};

Task<bool> FtpAnswer::Run() {
  if (c_.ftp_pool == nullptr) {
    const std::string message = "This proxy does not fetch ftp:// URLs.";
    co_return co_await Page(501, "Not Implemented", message);
  }
  const ResolvedTarget resolved = co_await ResolveTarget(c_.executor, target_.address, c_.policy);
  if (resolved.status == ConnectStatus::kForbidden) {
    Log(c_.name + ": refused private target " + Printable(target_.address.host));
    const std::string answer = SimpleResponse(
        http::status::forbidden, "The proxy does not connect to " + target_.address.host + ": it lies in a private network.");
    co_await c_.writer.SendData(AsBytes(answer));
    co_return false;
  }
  if (resolved.status != ConnectStatus::kConnected) {
    co_await c_.writer.SendBytes(ControlFrame(ckGatewayError, target_.address.host));
    co_return keep_alive_;
  }

  FtpRequest request;
  if (!target_.names_directory) request.file_url = CurlUrl(target_, false);
  request.directory_url = CurlUrl(target_, true);
  request.user = target_.user;
  request.password = target_.password;
  request.host = target_.address.host;
  request.port = target_.address.port;
  request.addresses = resolved.allowed;
  request.policy = c_.policy;
  request.connect_timeout = kConnectTimeout;
  // Closing the session (idle, out of credit, server stopping) ends the transfer.
  AbortRegistration abort(c_, [this] { fetch_.Cancel(); });
  if (!fetch_.Start(*c_.ftp_pool, std::move(request))) {
    LogLine("too many FTP transfers at once");
    const std::string message = "The proxy is busy with other FTP transfers. Please try again in a moment.";
    co_return co_await Page(503, "Service Unavailable", message);
  }
  const FtpEvent first = co_await fetch_.Next();
  if (first.kind == FtpEvent::Kind::kFileStart) co_return co_await File(first.size);
  if (first.result.failure != FtpFailure::kNone) co_return co_await Failed(first.result);
  co_return co_await Listing(first.result);
}

Task<bool> FtpAnswer::Failed(const FtpResult& result) {
  const std::string& host = target_.address.host;
  const std::string path = target_.path();
  // The page is composed before any co_await: g++ 12 mishandles temporaries
  // of a conditional expression inside an awaited call.
  unsigned status = 0;
  std::string_view reason;
  std::string message;
  switch (result.failure) {
    case FtpFailure::kNone:
    case FtpFailure::kCancelled:
      co_return false;
    case FtpFailure::kUnreachable:
      LogLine("unreachable: " + Printable(result.detail));
      co_await c_.writer.SendBytes(ControlFrame(ckGatewayError, host));
      co_return keep_alive_;
    case FtpFailure::kLoginRefused:
      LogLine("login refused");
      status = 403;
      reason = "Forbidden";
      if (target_.user) {
        message = "The FTP server " + host + " refused the login of user " + *target_.user +
                  " (wrong name or password) for " + path + ".";
      } else {
        message = "The FTP server " + host + " refused the anonymous login for " + path +
                  ". Put a user name and password into the URL: ftp://user:password@" + host + path;
      }
      break;
    case FtpFailure::kNotFound:
      status = 404;
      reason = "Not Found";
      message = "The FTP server " + host + " has no file or directory " + path + " (or does not let this user see it).";
      break;
    case FtpFailure::kFailed:
      LogLine("failed: " + Printable(result.detail));
      status = 502;
      reason = "Bad Gateway";
      message = "The FTP server " + host + " failed to deliver " + path + ": " + result.detail;
      break;
  }
  co_return co_await Page(status, reason, message);
}

Task<bool> FtpAnswer::Listing(const FtpResult& result) {
  if (head_) {
    co_await c_.writer.SendData(AsBytes("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n"));
    co_return keep_alive_;
  }
  const auto payload = BuildListingPayload(ListingUrl(target_), "", result.listing.entries);
  if (!payload) {
    const std::string message = "The directory's URL is too long to list it.";
    co_return co_await Page(414, "URI Too Long", message);
  }
  if (result.listing.rejected > 0) {
    LogLine(std::to_string(result.listing.rejected) + " lines of the listing left out (not understood or unusable names)");
  }
  if (payload->trimmed() || result.listing_cut) {
    LogLine("listing cut to " + std::to_string(payload->kept) + " of " + std::to_string(payload->total) +
            " entries" + (result.listing_cut ? " (the listing was longer than we read)" : ""));
  }
  co_await c_.writer.SendBytes(FtpListingFrame(payload->bytes));
  co_return keep_alive_;
}

Task<bool> FtpAnswer::File(std::optional<std::uint64_t> size) {
  const std::string_view name = target_.segments.empty() ? std::string_view() : target_.segments.back();
  const std::string header = FtpFileHeader(ContentTypeForName(name), size, keep_alive_);
  if (head_) {
    fetch_.Cancel();
    co_await c_.writer.SendData(AsBytes(header));
    co_return keep_alive_ && size.has_value();
  }
  Bytes out(header.begin(), header.end());
  std::uint64_t sent = 0;
  for (;;) {
    FtpEvent event = co_await fetch_.Next();
    if (event.kind == FtpEvent::Kind::kData) {
      Bytes& data = event.data;
      // Never more than the length we announced: the next answer would start inside it.
      if (size && data.size() > *size - sent) data.resize(static_cast<std::size_t>(*size - sent));
      sent += data.size();
      out.insert(out.end(), data.begin(), data.end());
      if (!out.empty()) co_await c_.writer.SendData(out);
      out.clear();
      if (size && sent == *size) {
        // All of it: what may follow is not ours to wait for.
        fetch_.Cancel();
        co_return keep_alive_;
      }
      continue;
    }
    if (!out.empty()) co_await c_.writer.SendData(out);  // the header of an empty file
    const FtpResult& result = event.result;
    if (result.failure != FtpFailure::kNone) {
      if (result.failure != FtpFailure::kCancelled) LogLine("transfer broke off: " + Printable(result.detail));
      co_return false;
    }
    if (size && sent < *size) {
      LogLine("the file was shorter than the server said");
      co_return false;
    }
    co_return keep_alive_ && size.has_value();
  }
}

}  // namespace

Task<bool> AnswerFtpRequest(ServiceContext& context, const FtpTarget& target, bool head_request, bool keep_alive) {
  FtpAnswer answer(context, target, head_request, keep_alive);
  co_return co_await answer.Run();
}

}  // namespace korvan::server
