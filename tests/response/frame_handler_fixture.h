// A worker's fields and a recording shell, for driving the server frame
// handler one frame at a time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "localisation/page_templates.h"
#include "localisation/product_version.h"
#include "localisation/text_table.h"
#include "response/server_frame_handler.h"
#include "wire/frame_writer.h"

namespace korvan::test {

class RecordingShell : public FrameHandlerShell {
 public:
  explicit RecordingShell(const TextTable& texts)
      : page_template(FillPageTemplate(texts, "1.1 (Build 0.1)")), ftp_template(FillFtpTableTemplate(texts)) {}

  std::uint32_t Now() override { return now; }
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

  struct Traffic {
    std::uint32_t start, end;
    std::int64_t raw_out, wire_out, wire_in, raw_in;
  };
  std::uint32_t now = 10000;
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
};

class NullMainThread : public MainThread {
 public:
  void Invoke(const std::function<void()>& fn) override { fn(); }
};
class NullClock : public TickClock {
 public:
  std::uint32_t Now() override { return 0; }
  void Sleep(std::uint32_t) override {}
};
class NullNetwork : public Network {
 public:
  std::unique_ptr<StreamSocket> Connect(const std::string&, std::uint16_t) override { return nullptr; }
  void WaitReadable(StreamSocket&, StreamSocket&, std::uint32_t) override {}
};
class NullHost : public WorkerHost {
 public:
  void PrepareOpening(TProxyThread&) override {}
  void HandleServerFrame(TProxyThread&) override {}
  void ReportStatus(TProxyThread&) override {}
  std::string TunnelFailureText(TunnelFailure) override { return {}; }
  void AddTraffic(std::uint32_t, std::uint32_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t) override {}
};

// One worker whose receive buffer the test fills frame by frame.
class HandlerBench {
 public:
  explicit HandlerBench(Protocol protocol = Protocol::kHttp)
      : words(1, {"<html>", "Content-Type: "}),
        shell(texts),
        handler(words, texts, flash, shell),
        worker(WorkerEnvironment{main_thread, clock, network, host, words}, nullptr, 0) {
    worker.FPlan.protocol = protocol;
  }

  // Puts `frame` (and `behind`, more bytes after it) into the buffer and
  // handles the frame. Returns the result length.
  std::int32_t Handle(const std::vector<std::uint8_t>& frame, const std::vector<std::uint8_t>& behind = {}) {
    worker.FRxBuf.Clear();
    worker.FRxBuf.Append(frame);
    worker.FRxBuf.Append(behind);
    FrameView view;
    if (!PeekFrame(worker.FRxBuf.data(), view)) return -1000;
    worker.FFrameFlags = view.flags;
    worker.FFrameEscape = view.escape;
    worker.FPayloadOffset = static_cast<std::int32_t>(view.payload_offset);
    worker.FFrameLength = static_cast<std::int32_t>(view.payload_length);
    handler.HandleServerFrame(worker);
    return worker.FFrameLength;
  }

  std::vector<std::uint8_t> Control(std::uint8_t kind, std::string_view rest = {}, bool packed = false) {
    std::vector<std::uint8_t> payload{kind};
    payload.insert(payload.end(), rest.begin(), rest.end());
    if (packed) return PackFrame(words, payload, tfDeflate | tfWords, true);
    return MakeFrame(tfControl, payload);
  }

  std::string Reply() const { return std::string(worker.FReply.begin(), worker.FReply.end()); }

  WordList words;
  TextTable texts;
  std::vector<std::uint8_t> flash = std::vector<std::uint8_t>(1416, 0x46);
  RecordingShell shell;
  ServerFrameHandler handler;
  NullMainThread main_thread;
  NullClock clock;
  NullNetwork network;
  NullHost host;
  TProxyThread worker;
};

}  // namespace korvan::test
