// What becomes of each control frame from the server, and the hand-over of
// a worker's counters, samples and status text to the shell. Data frames
// never come here: the worker unpacks them on its own thread.
//
// Thread rule: main thread only, inside a worker's hand-off while that
// worker waits; control frames of all connections are therefore handled one
// at a time.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "localisation/text_table.h"
#include "response/ftp_listing.h"
#include "tunnel/worker_messages.h"

namespace korvan {

// The shell's side of frame handling: statistics, log, tray and the current
// language's page templates. Main thread only.
class FrameHandlerShell {
 public:
  virtual ~FrameHandlerShell() = default;
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
  // The overall saving in percent, as the replacement banners show it.
  virtual double OverallSavedPercent() = 0;
};

inline constexpr int kTrayIconAlarm = 1;

class ServerFrameHandler {
 public:
  ServerFrameHandler(const TextTable& texts, std::span<const std::uint8_t> flash_movie, FrameHandlerShell& shell);

  // Turns the control frame (unpacked by the worker) into bytes for the
  // client, nothing, close, or pixel work for the worker. `pending` is the worker's report not yet handed
  // over: texts for the log are reported with it at once, and the kinds
  // that answer with a page of their own adjust its delivered count so that
  // the frame counts as the short frame that asked for it.
  FrameOutcome HandleControlFrame(const ControlFrame& frame, StatusReport& pending);

  // Folds the report's counters (in KiB) and samples into the statistics,
  // applies its connection change, logs its status text when the log takes
  // it (clearing it), and leaves the counters at 0.
  void ReportStatus(StatusReport& report);

 private:
  FrameOutcome Page(const std::string& page, std::int64_t decompressed) const;

  const TextTable& texts_;
  std::span<const std::uint8_t> flash_movie_;
  FrameHandlerShell& shell_;
};

}  // namespace korvan
