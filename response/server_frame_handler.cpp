#include "response/server_frame_handler.h"

#include <cstring>
#include <ctime>

#include "response/banner_response.h"
#include "response/generated_pages.h"
#include "response/gif_response.h"
#include "wire/frame_format.h"
#include "wire/opening.h"

namespace korvan {
namespace {

constexpr std::string_view kConnectEstablished =
    "HTTP/1.0 200 Connection established\r\nProxy-agent: KORVAN\r\n\r\n";
// The account information after its kind byte: two dates, eight unused
// bytes and one further byte.
constexpr std::size_t kAccountInfoSize = 25;

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

double LeDouble(const std::uint8_t* p) {
  double v = 0;
  std::memcpy(&v, p, sizeof v);
  return v;
}

FrameOutcome Nothing() { return FrameOutcome::Nothing(); }
FrameOutcome Close() { return FrameOutcome::Close(); }

// A text from the server as one line of the log: a CR, LF or other control
// byte would let it forge lines of its own.
std::string OneLogLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return text;
}

}  // namespace

ServerFrameHandler::ServerFrameHandler(const TextTable& texts, std::span<const std::uint8_t> flash_movie,
                                       FrameHandlerShell& shell)
    : texts_(texts), flash_movie_(flash_movie), shell_(shell) {}

FrameOutcome ServerFrameHandler::Page(const std::string& page, std::int64_t decompressed) const {
  if (page.empty()) return Nothing();
  return FrameOutcome::Write(std::vector<std::uint8_t>(page.begin(), page.end()), decompressed);
}

FrameOutcome ServerFrameHandler::HandleControlFrame(const ControlFrame& frame, StatusReport& pending) {
  const std::span<const std::uint8_t> data = frame.decoded;
  if (data.empty()) return Close();
  const std::size_t size = data.size();

  const std::uint8_t kind = data[0];
  const bool http = frame.protocol == Protocol::kHttp;
  const auto text_after_kind = [&] { return std::string(data.begin() + 1, data.end()); };
  const PageSources pages{texts_, shell_.PageTemplate(), flash_movie_};
  std::int64_t& delivered = pending.counters.delivered;
  const auto report_text = [&](std::string text) {
    pending.status_text = std::move(text);
    ReportStatus(pending);
  };

  if (kind <= ckBannerLast) {
    // A blocked banner: the replacement is drawn on the worker's thread and
    // counts as the object it stands for. The size travels unpacked, two
    // bytes after the kind. Index 0 has no size: nothing to draw.
    if (kind == 0 || frame.received.size() < 3) return Close();
    const std::uint16_t full_size = Le16(frame.received.data() + 1);
    return FrameOutcome::Render(
        [k = int{kind}, percent = shell_.OverallSavedPercent(), separator = shell_.Formats().decimal_separator,
         now = std::time(nullptr)] { return MakeBannerResponse(k, percent, separator, now); },
        full_size, full_size);
  }
  if (kind == ckRecompressGif) {
    // Kind, width, height, full size, then the response; the recompression
    // sees everything but the full size.
    constexpr std::size_t kFullSizeAt = 5;
    if (size < kFullSizeAt + 2) return Close();
    const std::uint16_t full_size = Le16(data.data() + kFullSizeAt);
    std::vector<std::uint8_t> payload;
    payload.reserve(size - 2);
    payload.insert(payload.end(), data.begin(), data.begin() + kFullSizeAt);
    payload.insert(payload.end(), data.begin() + kFullSizeAt + 2, data.end());
    return FrameOutcome::Render([payload = std::move(payload)] { return RecompressGifResponse(payload); },
                                full_size, full_size);
  }
  switch (kind) {
    case ckFlash:
      return Page(MakePage(GeneratedPage::kFlash, "", pages), 0);
    case ckStatusText:
      report_text(OneLogLine(text_after_kind()));
      return Nothing();
    case ckLoginFailed:
    case ckNoCredit: {
      const bool login = kind == ckLoginFailed;
      FrameOutcome outcome = Nothing();
      if (http) {
        const std::string page = MakePage(login ? GeneratedPage::kLoginError : GeneratedPage::kNoCredit, "", pages);
        outcome = Page(page, static_cast<std::int64_t>(page.size()));
      }
      // With the page the worker writes, the frame counts as its 3 bytes.
      delivered += 3 - static_cast<std::int64_t>(outcome.bytes.size());
      report_text(std::string(texts_.Text(login ? TextKey::InvalidUserOrPwd : TextKey::NoCreditLog)));
      return outcome;
    }
    case ckGatewayError: {
      if (!http) {
        delivered += 2;
        return Close();
      }
      const std::string page = MakePage(GeneratedPage::kGatewayError, text_after_kind(), pages);
      delivered += static_cast<std::int64_t>(size) + 2 - static_cast<std::int64_t>(page.size());
      return Page(page, static_cast<std::int64_t>(page.size()));
    }
    case ckConnectOk:
      delivered += 3 - static_cast<std::int64_t>(kConnectEstablished.size());
      return Page(std::string(kConnectEstablished), static_cast<std::int64_t>(kConnectEstablished.size()));
    case ckAccountInfo:
      if (size < 1 + kAccountInfoSize) return Close();  // claims more than it carries
      shell_.AccountInfoArrived(LeDouble(data.data() + 1), LeDouble(data.data() + 9), data[kAccountInfoSize]);
      delivered += static_cast<std::int64_t>(size);
      return Nothing();
    case ckFtpListing: {
      const FtpListing listing = ParseFtpListingPayload(std::span<const std::uint8_t>(data.data() + 1, size - 1));
      const std::string table = MakeFtpTable(shell_.FtpTableTemplate(), BuildFtpRows(listing, shell_.Formats()));
      const std::string page = MakePage(GeneratedPage::kFtpListing, table, pages);
      delivered += static_cast<std::int64_t>(size) + 2 - static_cast<std::int64_t>(page.size());
      return Page(page, static_cast<std::int64_t>(page.size()));
    }
    case ckTooManyConnections:
      report_text(std::string(texts_.Text(TextKey::TooManyConnections)));
      return Nothing();
    case ckCountOnly: {
      // The size travels in the payload as received (these frames are never
      // packed), two bytes after the kind.
      if (frame.received.size() < 3) return Close();
      const std::uint16_t full_size = Le16(frame.received.data() + 1);
      delivered += full_size;
      shell_.AddTraffic(frame.previous_start, frame.previous_end, 0, 0, 0, full_size);
      return Nothing();
    }
    default:
      return Close();
  }
}

void ServerFrameHandler::ReportStatus(StatusReport& report) {
  TransferCounters& c = report.counters;
  shell_.AddToTotals(static_cast<double>(c.delivered) / 1024.0, static_cast<double>(c.raw_out) / 1024.0,
                     static_cast<double>(c.wire_in) / 1024.0, static_cast<double>(c.wire_out) / 1024.0);
  for (const TrafficSample& s : report.samples) {
    shell_.AddTraffic(s.start, s.end, s.raw_out, s.wire_out, s.wire_in, s.raw_in);
  }
  report.samples.clear();
  if (report.is_update_check && !report.status_text.empty()) shell_.SetUpdaterLastError(report.status_text);
  if (!report.status_text.empty()) {
    const bool connection_error = report.status_text == texts_.Text(TextKey::ServerConnectionErr) ||
                                  report.status_text == texts_.Text(TextKey::ParentProxyErr);
    if (!connection_error || shell_.ListConnectErrors()) {
      shell_.WriteToLog(report.status_text);
      shell_.ShowMessagesPage();
      report.status_text.clear();
      shell_.SetTrayIcon(kTrayIconAlarm);
    }
  }
  if (report.connection_delta != 0) {
    shell_.AddOpenConnections(report.connection_delta);
    report.connection_delta = 0;
  }
  c = TransferCounters{};
  shell_.ShowStatistics();
}

}  // namespace korvan
