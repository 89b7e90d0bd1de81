// The connection worker: one per accepted client connection, for its whole
// life. It opens its own tunnel to the compression server, then pumps bytes
// both ways: client blocks are packed into frames, server frames are cut out
// and handed to the frame handler on the main thread, whose output goes back
// to the client.
//
// Thread safety: every field that the main thread reads or writes is touched
// by it only inside a hand-off (MainThread::Invoke), while this worker waits
// for the hand-off to finish; outside hand-offs only the worker touches them.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "wire/frame_format.h"
#include "wire/frame_reader.h"
#include "wire/opening.h"
#include "tunnel/session_opening.h"
#include "wire/word_list.h"
#include "tunnel/worker_environment.h"

namespace korvan {

class TProxyThread;

// The main thread's side of a worker. Every method runs on the main thread,
// inside a hand-off, while the worker waits.
class WorkerHost {
 public:
  virtual ~WorkerHost() = default;
  // Fills the worker's plan (FOpening, FInitialData, route, FRefusal,
  // FIsUpdateCheck) from the shell's state, or terminates the worker.
  virtual void PrepareOpening(TProxyThread& worker) = 0;
  // Turns the current server frame into FReply and a result in FFrameLength.
  virtual void HandleServerFrame(TProxyThread& worker) = 0;
  // Folds the counters into the totals, logs FStatusText, applies FConnDelta,
  // and sets the counters to 0.
  virtual void ReportStatus(TProxyThread& worker) = 0;
  // The status text for a tunnel that could not be opened.
  virtual std::string TunnelFailureText(TunnelFailure failure) = 0;
  // One outbound traffic sample for the throughput chart.
  virtual void AddTraffic(std::uint32_t start, std::uint32_t end, std::int64_t raw_out, std::int64_t wire_out,
                          std::int64_t wire_in, std::int64_t raw_in) = 0;
};

struct WorkerEnvironment {
  MainThread& main_thread;
  TickClock& clock;
  Network& network;
  WorkerHost& host;
  const WordList& words;
};

inline constexpr std::uint32_t kClientTimeoutMs = 10000;
inline constexpr std::uint32_t kIdleLimitMs = 600000;
inline constexpr std::uint32_t kHandOffIntervalMs = 1000;
// The longest sleep of an idle worker. Closing either socket wakes it at
// once, so this wake only guards against a Terminate() that came without
// one; a thousand idle connections then cost almost nothing.
inline constexpr std::uint32_t kIdleWakeMs = 10000;
// While bytes flow, the counters reach the main thread at most this often
// (a new status text or connection count at once): a hand-off per pass
// would cost a thread switch per read of a fast download.
inline constexpr std::uint32_t kBusyStatusIntervalMs = 50;
inline constexpr std::uint32_t kRefusalCloseDelayMs = 200;
inline constexpr std::size_t kTunnelReadSize = 65023;
// Frames that arrived together are handled in one hand-off, up to this much
// output, so that a fast download does not pay a thread switch per frame
// while the first bytes still leave soon.
inline constexpr std::size_t kDeliveryBatchBytes = 8 * 65536;

class TProxyThread {
 public:
  // `client` is the accepted connection; `port_index` the entry of the port
  // table whose listening socket accepted it.
  TProxyThread(WorkerEnvironment env, std::unique_ptr<StreamSocket> client, int port_index);
  TProxyThread(const TProxyThread&) = delete;
  TProxyThread& operator=(const TProxyThread&) = delete;

  // The worker's whole life; returns when the connection has ended.
  void ClientExecute();

  // Asks the worker to end. It notices at once while bytes move or when
  // either socket closes (the listeners close theirs when the program
  // stops), else within kIdleWakeMs.
  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }

  int port_index() const { return port_index_; }

  // --- Shared with the main thread during hand-offs ---
  std::int32_t FConnDelta = 0;
  std::string FStatusText;
  std::uint8_t FFrameFlags = 0;
  std::int32_t FFrameLength = 0;
  std::uint8_t FFrameEscape = kDefaultEscape;
  std::int32_t FPayloadOffset = 0;
  std::int64_t FDelivered = 0;
  std::int64_t FRawOut = 0;
  std::int64_t FWireIn = 0;
  std::int64_t FWireOut = 0;
  std::vector<std::uint8_t> FReply;
  ReceiveBuffer FRxBuf;
  std::uint32_t FLastEmptyTick = 0;
  std::uint32_t FRxStartTick = 0;
  std::uint32_t FRxEndTick = 0;
  std::uint16_t FFullSize = 0;
  std::array<std::uint8_t, 25> FAccountInfo{};
  bool FIsUpdateCheck = false;
  std::string FLocalAddress;
  std::uint32_t FClientIP = 0;
  std::int32_t FClientPort = 0;
  std::string FRefusal;
  // The plan that the preparation fills: opening, initial data and route.
  OpeningPlan FPlan;

 private:
  bool ClientOpen() const { return client_ && client_->IsOpen(); }
  void CloseClient();
  void Pump();
  void SendBlock(std::size_t count, std::uint32_t& last_send);
  void ReadTunnel(std::uint32_t& last_recv);
  bool DeliverFrames();
  FrameVerdict HandleFrame(const FrameView& frame);
  void HandOffStatus();
  bool CountersIdle() const;
  bool StatusDue(std::uint32_t now) const;

  WorkerEnvironment env_;
  std::unique_ptr<StreamSocket> client_;
  std::unique_ptr<StreamSocket> tunnel_;
  int port_index_;
  std::atomic<bool> terminated_{false};
  // The status text as the last hand-off left it: a text the log declined
  // to show stays in FStatusText and must not keep the loop from idling.
  std::string status_after_hand_off_;
  std::uint32_t last_status_ = 0;  // tick of the last status hand-off
  std::vector<std::uint8_t> raw_buf_;
  std::vector<std::uint8_t> frame_buf_;
  // The frame handler's output of one hand-off, on its way to the client;
  // given back while the connection idles.
  std::vector<std::uint8_t> delivery_;
};

}  // namespace korvan
