// What becomes of each frame from the server, and the periodic hand-over of
// a worker's counters and status text to the shell.
//
// Thread safety: both operations run on the main thread only, inside a
// worker's hand-off while that worker waits; frames of all connections are
// therefore handled one at a time.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "localisation/text_table.h"
#include "response/ftp_listing.h"
#include "tunnel/proxy_thread.h"
#include "wire/word_list.h"

namespace korvan {

// The shell's side of frame handling: statistics, log, tray and the current
// language's page templates. Main thread only.
class FrameHandlerShell {
 public:
  virtual ~FrameHandlerShell() = default;
  virtual std::uint32_t Now() = 0;
  virtual void AddTraffic(std::uint32_t start, std::uint32_t end, std::int64_t raw_out, std::int64_t wire_out,
                          std::int64_t wire_in, std::int64_t raw_in) = 0;
  // Adds to the four running totals, in KiB.
  virtual void AddToTotals(double received_raw_kib, double sent_raw_kib, double received_wire_kib,
                           double sent_wire_kib) = 0;
  // The account information arrived: store the dates and the further byte,
  // stop asking for it, show it.
  virtual void AccountInfoArrived(double prepaid_until, double valid_until, std::uint8_t further) = 0;
  virtual void WriteToLog(std::string_view text) = 0;
  virtual void ShowMessagesPage() = 0;
  virtual void SetTrayIcon(int icon) = 0;
  virtual void AddOpenConnections(int delta) = 0;
  virtual void ShowStatistics() = 0;
  // The "Chyby spojení" switch: whether connection errors are logged.
  virtual bool ListConnectErrors() = 0;
  virtual void SetUpdaterLastError(const std::string& text) = 0;
  virtual std::string_view PageTemplate() = 0;
  virtual std::string_view FtpTableTemplate() = 0;
  virtual ListingFormat Formats() = 0;
};

inline constexpr int kTrayIconAlarm = 1;

class ServerFrameHandler {
 public:
  ServerFrameHandler(const WordList& words, const TextTable& texts, std::span<const std::uint8_t> flash_movie,
                     FrameHandlerShell& shell);

  // Decodes the current frame of `worker` (flags, escape, payload offset and
  // length in its fields), leaves the client's bytes in FReply and the result
  // in FFrameLength: a count to write, 0 for nothing, negative to close.
  void HandleServerFrame(TProxyThread& worker);

  // Folds the worker's counters into the totals, logs its status text,
  // applies its open-connection change and sets the counters to 0.
  void ReportStatus(TProxyThread& worker);

 private:
  // Returns the result length; `decompressed` receives the size that the
  // statistics count as delivered uncompressed.
  std::int32_t HandleControl(TProxyThread& worker, std::size_t decoded, std::int64_t& decompressed);
  std::int32_t PutPage(TProxyThread& worker, const std::string& page);
  void RecordInbound(TProxyThread& worker, std::int64_t received, std::int64_t decompressed);

  const WordList& words_;
  const TextTable& texts_;
  std::span<const std::uint8_t> flash_movie_;
  FrameHandlerShell& shell_;
};

}  // namespace korvan
