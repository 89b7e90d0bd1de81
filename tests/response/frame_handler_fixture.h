// A worker's pending report and a recording shell, for driving the server
// frame handler one control frame at a time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "localisation/page_templates.h"
#include "localisation/product_version.h"
#include "localisation/text_table.h"
#include "response/server_frame_handler.h"
#include "tunnel/data_frames.h"
#include "wire/frame_reader.h"
#include "wire/frame_writer.h"

namespace korvan::test {

class RecordingShell : public FrameHandlerShell {
 public:
  explicit RecordingShell(const TextTable& texts)
      : page_template(FillPageTemplate(texts, "1.1 (Build 0.1)")), ftp_template(FillFtpTableTemplate(texts)) {}

  void AddTraffic(std::uint32_t start, std::uint32_t end, std::int64_t raw_out, std::int64_t wire_out,
                  std::int64_t wire_in, std::int64_t raw_in) override {
    traffic.push_back({start, end, raw_out, wire_out, wire_in, raw_in});
  }
  void AddToTotals(double a, double b, double c, double d) override {
    totals[0] += a;
    totals[1] += b;
    totals[2] += c;
    totals[3] += d;
  }
  void AccountInfoArrived(double prepaid, double valid, std::uint8_t further) override {
    account = {prepaid, valid, static_cast<double>(further)};
  }
  void WriteToLog(std::string_view text) override { log.emplace_back(text); }
  void ShowMessagesPage() override { ++messages_page_shown; }
  void SetTrayIcon(int icon) override { tray_icon = icon; }
  void AddOpenConnections(int delta) override { open_connections += delta; }
  void ShowStatistics() override { ++statistics_shown; }
  bool ListConnectErrors() override { return list_connect_errors; }
  void SetUpdaterLastError(const std::string& text) override { updater_error = text; }
  std::string_view PageTemplate() override { return page_template; }
  std::string_view FtpTableTemplate() override { return ftp_template; }
  ListingFormat Formats() override { return formats; }
  double OverallSavedPercent() override { return saved_percent; }

  struct Traffic {
    std::uint32_t start, end;
    std::int64_t raw_out, wire_out, wire_in, raw_in;
  };
  std::vector<Traffic> traffic;
  double totals[4] = {0, 0, 0, 0};
  std::vector<double> account;
  std::vector<std::string> log;
  int messages_page_shown = 0;
  int tray_icon = 0;
  int open_connections = 0;
  int statistics_shown = 0;
  bool list_connect_errors = true;
  std::string updater_error;
  std::string page_template;
  std::string ftp_template;
  ListingFormat formats;
  double saved_percent = 0;
};

// One connection's side of the handler: its port's protocol, its report
// not yet handed over, and the last outcome.
class HandlerBench {
 public:
  explicit HandlerBench(Protocol port_protocol = Protocol::kHttp)
      : words(1, {"<html>", "Content-Type: "}), shell(texts), handler(texts, flash, shell), protocol(port_protocol) {}

  // Hands `frame` (a whole control frame) to the handler. Returns the
  // result as a length: the bytes to write, 0 for nothing, -1 to close.
  std::int32_t Handle(const std::vector<std::uint8_t>& frame) {
    FrameView view;
    if (!PeekFrame(frame, view)) return -1000;
    // The worker unpacks the frame before it crosses, and closes on one
    // that does not unpack.
    std::vector<std::uint8_t> decoded(kMaxUnpackedBlock);
    const int n = UnpackControlFrame(words, view, frame, decoded.data());
    if (n < 0) {
      last = FrameOutcome{};
      return -1;
    }
    decoded.resize(static_cast<std::size_t>(n));
    const ControlFrame control{decoded, std::span<const std::uint8_t>(frame).subspan(view.payload_offset, view.payload_length),
                               protocol, previous_start, previous_end};
    last = handler.HandleControlFrame(control, pending);
    if (last.render) {
      // As the worker does, on its own thread.
      last.bytes = last.render();
      last.action = last.bytes.empty() ? FrameAction::kClose : FrameAction::kWrite;
    }
    switch (last.action) {
      case FrameAction::kClose:
        return -1;
      case FrameAction::kNothing:
        return 0;
      case FrameAction::kWrite:
        return static_cast<std::int32_t>(last.bytes.size());
    }
    return -1;
  }

  std::vector<std::uint8_t> Control(std::uint8_t kind, std::string_view rest = {}, bool packed = false) {
    std::vector<std::uint8_t> payload{kind};
    payload.insert(payload.end(), rest.begin(), rest.end());
    if (packed) return PackFrame(words, payload, tfDeflate | tfWords, true);
    return MakeFrame(tfControl, payload);
  }

  std::string Reply() const { return std::string(last.bytes.begin(), last.bytes.end()); }

  WordList words;
  TextTable texts;
  std::vector<std::uint8_t> flash = std::vector<std::uint8_t>(1416, 0x46);
  RecordingShell shell;
  ServerFrameHandler handler;
  Protocol protocol;
  std::uint32_t previous_start = 0;
  std::uint32_t previous_end = 0;
  StatusReport pending;
  FrameOutcome last;
};

}  // namespace korvan::test
