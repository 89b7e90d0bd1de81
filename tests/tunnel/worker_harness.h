// A connection worker wired to loopback sockets, the fake compression server
// and a host that records every hand-off.
//
// Thread rule: the worker runs on a thread of its own and hands off through
// SerialMainThread, whose recursive `mutex_` runs one hand-off at a time (a
// hand-off may hand off again); the test's thread reads the host's records
// once the worker has ended, or inside a hand-off of its own.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "tests/support/fake_server.h"
#include "tests/support/posix_sockets.h"
#include "tunnel/proxy_thread.h"
#include "tunnel/session_opening.h"
#include "wire/word_compress.h"

namespace korvan::test {

// Runs hand-offs one at a time, as a main thread would.
class SerialMainThread : public MainThread {
 public:
  void Invoke(const std::function<void()>& fn) override {
    RecursiveMutexLock lock(mutex_);
    fn();
  }

 private:
  RecursiveMutex mutex_;
};

class RealClock : public Clock {
 public:
  std::uint32_t TickCount() override {
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
  }
  double Now() override { return 45000.5; }
  void Sleep(std::uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

// Time moves only when the worker sleeps or waits with nothing to read.
class FakeClock : public Clock {
 public:
  explicit FakeClock(std::uint32_t start) : now_(start) {}
  std::uint32_t TickCount() override { return now_.load(); }
  double Now() override { return 45000.5; }
  void Sleep(std::uint32_t ms) override { now_ += ms; }
  void Advance(std::uint32_t ms) { now_ += ms; }

 private:
  std::atomic<std::uint32_t> now_;
};

class FakeTimeNetwork : public PosixNetwork {
 public:
  explicit FakeTimeNetwork(FakeClock& clock) : clock_(clock) {}
  void WaitReadable(StreamSocket& a, StreamSocket& b, std::uint32_t timeout_ms) override {
    PosixNetwork::WaitReadable(a, b, 0);
    if (!a.Readable() && !b.Readable()) clock_.Advance(timeout_ms);
  }

 private:
  FakeClock& clock_;
};

// Records what the worker hands over and answers a few control kinds the
// way the real frame handler does.
class RecordingHost : public WorkerHost {
 public:
  OpeningInputs inputs;
  std::string refusal;
  bool terminate = false;

  OpeningDecision PrepareOpening(const AcceptedClient&) override {
    prepared = true;
    OpeningDecision decision;
    if (terminate) return decision;
    decision.refusal = refusal;
    decision.admitted = refusal.empty();
    decision.plan = PrepareOpeningPlan(inputs);
    return decision;
  }

  FrameOutcome HandleControlFrame(const ControlFrame& frame, StatusReport& pending) override {
    ++control_frames;
    in_control_frame = true;
    struct Leave {
      bool& flag;
      ~Leave() { flag = false; }
    } leave{in_control_frame};
    const std::vector<std::uint8_t> out(frame.decoded.begin(), frame.decoded.end());
    if (out[0] == ckStatusText) {
      pending.status_text.assign(out.begin() + 1, out.end());
      ReportStatus(pending);
      return FrameOutcome::Nothing();
    }
    if (out[0] == ckConnectOk) {
      const std::string ok = "HTTP/1.0 200 Connection established\r\nProxy-agent: KORVAN\r\n\r\n";
      return FrameOutcome::Write(std::vector<std::uint8_t>(ok.begin(), ok.end()), 60);
    }
    if (out[0] == kRenderedKind) {
      // Stands for a drawn banner: the bytes are made on the worker, and
      // the frame counts as the object it replaces.
      return FrameOutcome::Render(
          [this] {
            rendered_in_hand_off = in_control_frame;
            return std::vector<std::uint8_t>(rendered.begin(), rendered.end());
          },
          5000, 5000);
    }
    return FrameOutcome::Close();
  }

  // A control kind this host answers with pixel work; what it "draws".
  static constexpr std::uint8_t kRenderedKind = 1;
  std::string rendered = "GIF89a drawn";
  bool in_control_frame = false;
  bool rendered_in_hand_off = true;

  void ReportStatus(StatusReport& report) override {
    ++reports;
    delivered += report.counters.delivered;
    raw_out += report.counters.raw_out;
    wire_in += report.counters.wire_in;
    wire_out += report.counters.wire_out;
    open_connections += report.connection_delta;
    if (report.connection_delta != 0) conn_deltas.push_back(report.connection_delta);
    report.connection_delta = 0;
    if (!report.status_text.empty()) log.push_back(report.status_text);
    report.status_text.clear();
    report.counters = TransferCounters{};
    for (const TrafficSample& s : report.samples) {
      if (s.raw_out != 0 || s.wire_out != 0) outbound.push_back(s);
      if (s.wire_in != 0 || s.raw_in != 0) inbound.push_back(s);
    }
    report.samples.clear();
  }

  std::string TunnelFailureText(TunnelFailure failure) override {
    return failure == TunnelFailure::kParentProxy ? "parent proxy failed" : "server failed";
  }

  // Read only after the worker has ended, or from inside a hand-off.
  bool prepared = false;
  int control_frames = 0;
  int reports = 0;
  std::int64_t delivered = 0, raw_out = 0, wire_in = 0, wire_out = 0;
  int open_connections = 0;
  std::vector<int> conn_deltas;
  std::vector<std::string> log;
  std::vector<TrafficSample> outbound;  // one per frame sent
  std::vector<TrafficSample> inbound;   // one per frame received

};

}  // namespace korvan::test
