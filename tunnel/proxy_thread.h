// The connection worker: one per accepted client connection, for its whole
// life. It opens its own tunnel to the compression server, then pumps bytes
// both ways: client blocks are packed into frames; server frames are
// unpacked here; data frames go straight to the client, while control
// frames cross to the main thread (WorkerHost) and come back as bytes,
// nothing, close, or pixel work that runs here.
//
// Thread rule: ClientExecute runs on the worker's own thread and owns every
// member. The main thread sees only the values of tunnel/worker_messages.h,
// inside hand-offs (MainThread::Invoke) while this worker waits. Terminate()
// may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "tunnel/pixel_work.h"
#include "tunnel/session_opening.h"
#include "tunnel/worker_environment.h"
#include "tunnel/worker_host.h"
#include "tunnel/worker_messages.h"
#include "wire/frame_format.h"
#include "wire/frame_reader.h"
#include "wire/word_list.h"

namespace korvan {

struct WorkerEnvironment {
  MainThread& main_thread;
  Clock& clock;
  Network& network;
  WorkerHost& host;
  const WordList& words;
  // Where pixel work runs; null: on the worker's own thread.
  PixelWork* pixel_work = nullptr;
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
// Unpacked frames that arrived together leave in one write, up to this
// much, so that a fast download does not pay a system call per frame while
// the first bytes still leave soon.
inline constexpr std::size_t kDeliveryBatchBytes = 4 * 65536;

class TProxyThread {
 public:
  // `client` is the accepted connection; `port_index` the entry of the port
  // table whose listening socket accepted it.
  TProxyThread(WorkerEnvironment env, std::unique_ptr<StreamSocket> client, std::size_t port_index);
  TProxyThread(const TProxyThread&) = delete;
  TProxyThread& operator=(const TProxyThread&) = delete;

  // The worker's whole life; returns when the connection has ended.
  void ClientExecute();

  // Asks the worker to end. It notices at once while bytes move or when
  // either socket closes (the listeners close theirs when the program
  // stops), else within kIdleWakeMs.
  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }

  std::size_t port_index() const { return port_index_; }

 private:
  template <typename Fn>
  void OnMainThread(Fn&& fn) {
    env_.main_thread.Invoke(std::forward<Fn>(fn));
  }
  bool ClientOpen() const { return client_ && client_->IsOpen(); }
  void CloseClient();
  void TurnAway(const std::string& refusal);
  void Pump();
  void SendBlock(std::size_t count, std::uint32_t& last_send);
  void SendOpeningAlone();
  void ReadTunnel(std::uint32_t& last_recv);
  bool DeliverFrames();
  bool HandleControlFrame(const FrameView& frame);
  void RecordInbound(std::size_t payload, std::int64_t decompressed);
  bool FlushDelivery();
  void HandOffStatus();
  bool ReportIdle() const;
  bool StatusDue(std::uint32_t now) const;
  void WaitForEitherSide(std::uint32_t now, std::uint32_t last_send, std::uint32_t last_recv);

  WorkerEnvironment env_;
  std::unique_ptr<StreamSocket> client_;
  std::unique_ptr<StreamSocket> tunnel_;
  std::size_t port_index_;
  std::atomic<bool> terminated_{false};

  OpeningPlan plan_;
  // Crosses to the main thread in hand-offs.
  StatusReport report_;
  // The status text as the last hand-off left it: a text the log declined
  // to show stays pending and must not keep the loop from idling.
  std::string declined_text_;
  std::uint32_t last_status_ = 0;  // tick of the last status hand-off

  // Bytes from the tunnel not yet taken as frames, and the inbound sample
  // clock: when the buffer was last empty, and the span of the last frame.
  ReceiveBuffer received_;
  std::uint32_t last_empty_tick_ = 0;
  std::uint32_t previous_start_ = 0;
  std::uint32_t previous_end_ = 0;

  std::unique_ptr<std::uint8_t[]> raw_buf_;    // one client block
  std::unique_ptr<std::uint8_t[]> frame_buf_;  // the frame built from it
  std::unique_ptr<std::uint8_t[]> control_buf_;  // a control frame, unpacked
  // Unpacked bytes on their way to the client; given back while idle.
  ReceiveBuffer delivery_;
};

}  // namespace korvan
