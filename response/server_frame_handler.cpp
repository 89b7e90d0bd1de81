#include "response/server_frame_handler.h"

#include <cmath>
#include <cstring>

#include "response/generated_pages.h"
#include "wire/frame_format.h"
#include "wire/opening.h"
#include "wire/word_compress.h"

namespace korvan {
namespace {

constexpr std::string_view kConnectEstablished =
    "HTTP/1.0 200 Connection established\r\nProxy-agent: KORVAN\r\n\r\n";

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

double LeDouble(const std::uint8_t* p) {
  double v = 0;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

ServerFrameHandler::ServerFrameHandler(const WordList& words, const TextTable& texts,
                                       std::span<const std::uint8_t> flash_movie, FrameHandlerShell& shell)
    : words_(words), texts_(texts), flash_movie_(flash_movie), shell_(shell) {}

std::int32_t ServerFrameHandler::PutPage(TProxyThread& worker, const std::string& page) {
  worker.FReply.assign(page.begin(), page.end());
  return static_cast<std::int32_t>(page.size());
}

void ServerFrameHandler::HandleServerFrame(TProxyThread& worker) {
  const std::int32_t received = worker.FFrameLength;
  const auto buffered = worker.FRxBuf.data();
  if (received < 0 || worker.FPayloadOffset < 0 ||
      static_cast<std::size_t>(worker.FPayloadOffset) + static_cast<std::size_t>(received) > buffered.size() ||
      static_cast<std::size_t>(received) > kMaxUnpackedBlock) {
    worker.FReply.clear();
    worker.FFrameLength = -1;
    return;
  }
  // The codec reads the payload where it lies; no copy is needed.
  const std::uint8_t* payload = buffered.data() + worker.FPayloadOffset;
  worker.FReply.resize(kMaxUnpackedBlock);
  const int decoded = WordCompress::UnpackBlock(words_, payload, worker.FFrameEscape, worker.FFrameFlags,
                                                static_cast<std::size_t>(received), worker.FReply.data());
  const bool packed = (worker.FFrameFlags & (tfDeflate | tfWords)) != 0;

  std::int32_t result = 0;
  std::int64_t decompressed = 0;
  if (!(worker.FFrameFlags & tfControl)) {
    // A damaged data frame closes the connection rather than silently
    // dropping bytes from the middle of the client's stream.
    if (decoded < 0 || (decoded == 0 && packed)) {
      worker.FReply.clear();
      worker.FFrameLength = -1;
      return;
    }
    result = decoded;
    worker.FReply.resize(static_cast<std::size_t>(decoded));
    decompressed = result;
  } else {
    if (decoded < 1) {
      worker.FReply.clear();
      worker.FFrameLength = -1;
      return;
    }
    worker.FReply.resize(static_cast<std::size_t>(decoded));
    result = HandleControl(worker, static_cast<std::size_t>(decoded), decompressed);
    if (result < 0) {
      worker.FReply.clear();
      worker.FFrameLength = result;
      return;
    }
  }
  if (result == 0) worker.FReply.clear();
  worker.FFrameLength = result;
  RecordInbound(worker, received, decompressed);
}

std::int32_t ServerFrameHandler::HandleControl(TProxyThread& worker, std::size_t decoded,
                                               std::int64_t& decompressed) {
  const std::vector<std::uint8_t> data = worker.FReply;  // the decoded payload, kind first
  const std::uint8_t kind = data[0];
  const bool http = worker.FPlan.protocol == Protocol::kHttp;
  const auto text_after_kind = [&] { return std::string(data.begin() + 1, data.end()); };
  const PageSources pages{texts_, shell_.PageTemplate(), flash_movie_};
  std::int32_t result = 0;
  worker.FReply.clear();

  if (kind <= ckBannerLast || kind == ckRecompressGif) {
    // Replacement banners and local GIF recompression are not part of this
    // build; the client's connection is closed instead of answered.
    return -1;
  }
  switch (kind) {
    case ckFlash:
      result = PutPage(worker, MakePage(GeneratedPage::kFlash, "", pages));
      decompressed = 0;
      return result;
    case ckStatusText:
      worker.FStatusText = text_after_kind();
      ReportStatus(worker);
      return 0;
    case ckLoginFailed:
    case ckNoCredit: {
      const bool login = kind == ckLoginFailed;
      if (http) {
        result = PutPage(worker, MakePage(login ? GeneratedPage::kLoginError : GeneratedPage::kNoCredit, "", pages));
      }
      // With the parser's own addition the frame counts as its 3 bytes.
      worker.FDelivered += 3 - result;
      worker.FStatusText = texts_.Text(login ? TextKey::InvalidUserOrPwd : TextKey::NoCreditLog);
      ReportStatus(worker);
      decompressed = result;
      return result;
    }
    case ckGatewayError:
      if (!http) {
        worker.FDelivered += 2;
        return -1;
      }
      result = PutPage(worker, MakePage(GeneratedPage::kGatewayError, text_after_kind(), pages));
      worker.FDelivered += static_cast<std::int64_t>(decoded) + 2 - result;
      decompressed = result;
      return result;
    case ckConnectOk:
      result = PutPage(worker, std::string(kConnectEstablished));
      worker.FDelivered += 3 - result;
      decompressed = result;
      return result;
    case ckAccountInfo: {
      if (decoded < 1 + worker.FAccountInfo.size()) return -1;  // claims more than it carries
      std::memcpy(worker.FAccountInfo.data(), data.data() + 1, worker.FAccountInfo.size());
      shell_.AccountInfoArrived(LeDouble(data.data() + 1), LeDouble(data.data() + 9), data[25]);
      worker.FDelivered += static_cast<std::int64_t>(decoded);
      return 0;
    }
    case ckFtpListing: {
      const FtpListing listing =
          ParseFtpListingPayload(std::span<const std::uint8_t>(data.data() + 1, decoded - 1));
      const std::string table = MakeFtpTable(shell_.FtpTableTemplate(), BuildFtpRows(listing, shell_.Formats()));
      result = PutPage(worker, MakePage(GeneratedPage::kFtpListing, table, pages));
      worker.FDelivered += static_cast<std::int64_t>(decoded) + 2 - result;
      decompressed = result;
      return result;
    }
    case ckTooManyConnections:
      worker.FStatusText = texts_.Text(TextKey::TooManyConnections);
      ReportStatus(worker);
      return 0;
    case ckCountOnly: {
      // The size travels in the payload as received (these frames are never
      // packed), two bytes after the kind.
      const auto buffered = worker.FRxBuf.data();
      if (worker.FFrameLength < 3) return -1;
      const std::uint16_t size = Le16(buffered.data() + worker.FPayloadOffset + 1);
      worker.FFullSize = size;
      worker.FDelivered += size;
      shell_.AddTraffic(worker.FRxStartTick, worker.FRxEndTick, 0, 0, 0, size);
      return 0;
    }
    default:
      return -1;
  }
}

void ServerFrameHandler::RecordInbound(TProxyThread& worker, std::int64_t received, std::int64_t decompressed) {
  // The time since the buffer was last empty is shared out by this frame's
  // share of the bytes buffered.
  const std::uint32_t now = shell_.Now();
  const std::uint32_t start = worker.FLastEmptyTick;
  const auto buffered = static_cast<double>(worker.FRxBuf.size());
  std::uint32_t end = now;
  if (buffered > 0) {
    const double later_share = (buffered - static_cast<double>(received)) / buffered;
    end = now - static_cast<std::uint32_t>(std::lround(later_share * static_cast<double>(now - start)));
  }
  worker.FRxStartTick = start;
  worker.FRxEndTick = end;
  shell_.AddTraffic(start, end, 0, 0, received, decompressed);
  worker.FLastEmptyTick = end;
}

void ServerFrameHandler::ReportStatus(TProxyThread& worker) {
  shell_.AddToTotals(static_cast<double>(worker.FDelivered) / 1024.0, static_cast<double>(worker.FRawOut) / 1024.0,
                     static_cast<double>(worker.FWireIn) / 1024.0, static_cast<double>(worker.FWireOut) / 1024.0);
  if (worker.FIsUpdateCheck && !worker.FStatusText.empty()) shell_.SetUpdaterLastError(worker.FStatusText);
  if (!worker.FStatusText.empty()) {
    const bool connection_error = worker.FStatusText == texts_.Text(TextKey::ServerConnectionErr) ||
                                  worker.FStatusText == texts_.Text(TextKey::ParentProxyErr);
    if (!connection_error || shell_.ListConnectErrors()) {
      shell_.WriteToLog(worker.FStatusText);
      shell_.ShowMessagesPage();
      worker.FStatusText.clear();
      shell_.SetTrayIcon(kTrayIconAlarm);
    }
  }
  if (worker.FConnDelta != 0) {
    shell_.AddOpenConnections(worker.FConnDelta);
    worker.FConnDelta = 0;
  }
  worker.FDelivered = worker.FRawOut = worker.FWireIn = worker.FWireOut = 0;
  shell_.ShowStatistics();
}

}  // namespace korvan
