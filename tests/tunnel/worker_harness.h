// A connection worker wired to loopback sockets, the fake compression server
// and a host that records every hand-off.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
    std::lock_guard lock(mutex_);
    fn();
  }

 private:
  std::recursive_mutex mutex_;
};

class RealClock : public TickClock {
 public:
  std::uint32_t Now() override {
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
  }
  void Sleep(std::uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

// Time moves only when the worker sleeps or waits with nothing to read.
class FakeClock : public TickClock {
 public:
  explicit FakeClock(std::uint32_t start) : now_(start) {}
  std::uint32_t Now() override { return now_.load(); }
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

struct Sample {
  std::uint32_t start, end;
  std::int64_t raw_out, wire_out;
};

// Records what the worker hands over; passes data frames through and answers
// a few control kinds the way the real frame handler does.
class RecordingHost : public WorkerHost {
 public:
  explicit RecordingHost(const WordList& words) : words_(words) {}

  OpeningInputs inputs;
  std::string refusal;
  bool terminate = false;

  void PrepareOpening(TProxyThread& worker) override {
    prepared = true;
    if (terminate) {
      worker.Terminate();
      return;
    }
    worker.FRefusal = refusal;
    worker.FPlan = PrepareOpeningPlan(inputs);
  }

  void HandleServerFrame(TProxyThread& worker) override {
    ++frames;
    const auto data = worker.FRxBuf.data();
    std::vector<std::uint8_t> source(data.begin() + worker.FPayloadOffset,
                                     data.begin() + worker.FPayloadOffset + worker.FFrameLength);
    source.resize(std::max<std::size_t>(source.size(), 1));
    worker.FReply.assign(kMaxUnpackedBlock, 0);
    const int n = WordCompress::UnpackBlock(words_, source.data(), worker.FFrameEscape, worker.FFrameFlags,
                                            static_cast<std::size_t>(worker.FFrameLength), worker.FReply.data());
    if (!(worker.FFrameFlags & tfControl)) {
      worker.FFrameLength = n;
      return;
    }
    if (n < 1) {
      worker.FFrameLength = -1;
      return;
    }
    const std::uint8_t kind = worker.FReply[0];
    if (kind == ckStatusText) {
      worker.FStatusText.assign(worker.FReply.begin() + 1, worker.FReply.begin() + n);
      worker.FFrameLength = 0;
    } else if (kind == ckConnectOk) {
      const std::string ok = "HTTP/1.0 200 Connection established\r\nProxy-agent: KORVAN\r\n\r\n";
      worker.FReply.assign(ok.begin(), ok.end());
      worker.FFrameLength = static_cast<std::int32_t>(ok.size());
    } else {
      worker.FFrameLength = -1;
    }
  }

  void ReportStatus(TProxyThread& worker) override {
    ++reports;
    delivered += worker.FDelivered;
    raw_out += worker.FRawOut;
    wire_in += worker.FWireIn;
    wire_out += worker.FWireOut;
    open_connections += worker.FConnDelta;
    if (worker.FConnDelta != 0) conn_deltas.push_back(worker.FConnDelta);
    worker.FConnDelta = 0;
    if (!worker.FStatusText.empty()) log.push_back(worker.FStatusText);
    worker.FStatusText.clear();
    worker.FDelivered = worker.FRawOut = worker.FWireIn = worker.FWireOut = 0;
  }

  std::string TunnelFailureText(TunnelFailure failure) override {
    return failure == TunnelFailure::kParentProxy ? "parent proxy failed" : "server failed";
  }

  void AddTraffic(std::uint32_t start, std::uint32_t end, std::int64_t raw_out_bytes, std::int64_t wire_out_bytes,
                  std::int64_t, std::int64_t) override {
    samples.push_back({start, end, raw_out_bytes, wire_out_bytes});
  }

  // Read only after the worker has ended, or from inside a hand-off.
  bool prepared = false;
  int frames = 0;
  int reports = 0;
  std::int64_t delivered = 0, raw_out = 0, wire_in = 0, wire_out = 0;
  int open_connections = 0;
  std::vector<int> conn_deltas;
  std::vector<std::string> log;
  std::vector<Sample> samples;

 private:
  const WordList& words_;
};

}  // namespace korvan::test
