// The main thread's side of every connection worker: session preparation
// from the shell's settings and port table, admission of the client, the
// server frame handler, and the hand-over of counters and status texts to
// the statistics and the log.
//
// Main thread only: every method runs inside a worker's hand-off.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "localisation/language_state.h"
#include "localisation/text_table.h"
#include "response/server_frame_handler.h"
#include "shell/korvan_form.h"
#include "tunnel/worker_host.h"

namespace korvan {

// The self-updater's connection state, as the admission check reads it:
// -1 idle, -2 connecting, otherwise its local source port.
inline constexpr std::int32_t kUpdaterIdle = -1;
inline constexpr std::int32_t kUpdaterConnecting = -2;

class ProxyEngine : public WorkerHost, public FrameHandlerShell {
 public:
  ProxyEngine(KorvanForm& form, const TextTable& texts, const LanguageState& language,
              std::span<const std::uint8_t> flash_movie);

  // WorkerHost
  OpeningDecision PrepareOpening(const AcceptedClient& client) override;
  FrameOutcome HandleControlFrame(const ControlFrame& frame, StatusReport& pending) override {
    return handler_.HandleControlFrame(frame, pending);
  }
  void ReportStatus(StatusReport& report) override { handler_.ReportStatus(report); }
  std::string TunnelFailureText(TunnelFailure failure) override;

  // FrameHandlerShell
  void AddTraffic(std::uint32_t start, std::uint32_t end, std::int64_t raw_out, std::int64_t wire_out,
                  std::int64_t wire_in, std::int64_t raw_in) override;
  void AddToTotals(double received_raw_kib, double sent_raw_kib, double received_wire_kib,
                   double sent_wire_kib) override;
  void AccountInfoArrived(double prepaid_until, double valid_until, std::uint8_t further) override;
  void WriteToLog(std::string_view text) override { form_.WriteToLog(text); }
  void ShowMessagesPage() override { form_.ShowMessagesPage(); }
  void SetTrayIcon(int icon) override { form_.SetTrayIcon(icon); }
  void AddOpenConnections(int delta) override { form_.AddOpenConnections(delta); }
  void ShowStatistics() override { form_.ShowStatistics(); }
  bool ListConnectErrors() override { return form_.settings.ListConnectErr.checked; }
  void SetUpdaterLastError(const std::string& text) override { updater_last_error_ = text; }
  std::string_view PageTemplate() override { return language_.page_template; }
  std::string_view FtpTableTemplate() override { return language_.ftp_table_template; }
  ListingFormat Formats() override;
  double OverallSavedPercent() override;

  std::int32_t updater_local_port = kUpdaterIdle;
  const std::string& updater_last_error() const { return updater_last_error_; }

 private:
  KorvanForm& form_;
  const TextTable& texts_;
  const LanguageState& language_;
  ServerFrameHandler handler_;
  std::string updater_last_error_;
};

}  // namespace korvan
