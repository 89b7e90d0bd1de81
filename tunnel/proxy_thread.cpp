#include "tunnel/proxy_thread.h"

#include <algorithm>

#include "wire/frame_writer.h"

namespace korvan {

TProxyThread::TProxyThread(WorkerEnvironment env, std::unique_ptr<StreamSocket> client, int port_index)
    : env_(env), client_(std::move(client)), port_index_(port_index) {}

void TProxyThread::CloseClient() {
  if (client_) client_->Close();
}

bool TProxyThread::CountersIdle() const {
  return FDelivered == 0 && FRawOut == 0 && FWireIn == 0 && FWireOut == 0 &&
         (FStatusText.empty() || FStatusText == status_after_hand_off_);
}

void TProxyThread::HandOffStatus() {
  env_.main_thread.Invoke([this] {
    env_.host.ReportStatus(*this);
    status_after_hand_off_ = FStatusText;
  });
}

void TProxyThread::ClientExecute() {
  if (!client_) return;
  FLocalAddress = client_->LocalAddress();
  FClientIP = client_->PeerAddress();
  FClientPort = client_->PeerPort();
  env_.main_thread.Invoke([this] { env_.host.PrepareOpening(*this); });

  if (!FRefusal.empty()) {
    client_->Write({reinterpret_cast<const std::uint8_t*>(FRefusal.data()), FRefusal.size()});
    env_.clock.Sleep(kRefusalCloseDelayMs);
    CloseClient();
    Terminate();
  }
  if (!ClientOpen() || Terminated()) {
    CloseClient();
    env_.clock.Sleep(kRefusalCloseDelayMs);
    return;
  }

  FConnDelta = 1;
  FStatusText.clear();
  FDelivered = FRawOut = FWireIn = FWireOut = 0;
  FRxBuf.Clear();
  raw_buf_.assign(kMaxUnpackedBlock + 1, 0);
  frame_buf_.assign(kFrameBufferSize, 0);
  try {
    Pump();
  } catch (...) {
    // Any failure inside the pump ends the connection quietly; a status
    // text, if one was set, reaches the log through the last hand-off.
  }
  tunnel_.reset();
  FConnDelta -= 1;
  HandOffStatus();
  CloseClient();
}

void TProxyThread::Pump() {
  client_->SetTimeout(kClientTimeoutMs);
  TunnelConnection connection = ConnectTunnel(FPlan, env_.network, env_.clock);
  if (!connection.socket) {
    env_.main_thread.Invoke([&] { FStatusText = env_.host.TunnelFailureText(connection.failure); });
    return;
  }
  tunnel_ = std::move(connection.socket);
  FRawOut = 0;

  std::uint32_t last_send = env_.clock.Now();
  if (!FPlan.initial_data.empty()) {
    std::copy(FPlan.initial_data.begin(), FPlan.initial_data.end(), raw_buf_.begin());
    SendBlock(FPlan.initial_data.size(), last_send);
  }
  if (!connection.early_bytes.empty()) {
    FWireIn += static_cast<std::int64_t>(connection.early_bytes.size());
    FRxBuf.Append(connection.early_bytes);
    if (!DeliverFrames()) CloseClient();
  }

  last_send = env_.clock.Now();
  std::uint32_t last_recv = last_send;
  bool stop = Terminated();
  while (!stop && ClientOpen() && tunnel_) {
    // Read what the client has ready, up to one block.
    std::size_t count = 0;
    while (!Terminated() && ClientOpen() && count < kMaxRawBlock && client_->Readable()) {
      const long n = client_->Read(raw_buf_.data() + count, kMaxRawBlock - count);
      if (n <= 0) {
        CloseClient();
      } else {
        count += static_cast<std::size_t>(n);
      }
    }
    if (count > 0) SendBlock(count, last_send);

    // Ports whose server speaks first get the opening alone.
    if (!FPlan.opening.empty() && FPlan.protocol != Protocol::kHttp && tunnel_) {
      FRawOut += static_cast<std::int64_t>(FPlan.opening.size());
      if (!tunnel_->Write(FPlan.opening)) tunnel_.reset();
      FPlan.opening.clear();
    }

    if (FRxBuf.empty()) FLastEmptyTick = env_.clock.Now();
    if (tunnel_) ReadTunnel(last_recv);

    const std::uint32_t now = env_.clock.Now();
    stop = (TicksSince(now, last_send) > kIdleLimitMs && TicksSince(now, last_recv) > kIdleLimitMs) || Terminated();

    if (StatusDue(now)) {
      HandOffStatus();
      last_status_ = now;
    } else if (!stop && ClientOpen() && tunnel_) {
      // Nothing to report yet: sleep until either side has bytes, until the
      // counters are due, or, when idle, until the idle limit would be
      // passed (at most kIdleWakeMs, to notice Terminate()).
      const bool idle = CountersIdle();
      std::uint32_t wait = kBusyStatusIntervalMs - std::min(TicksSince(now, last_status_), kBusyStatusIntervalMs);
      if (idle) {
        std::vector<std::uint8_t>().swap(delivery_);
        const std::uint32_t quiet = std::min(TicksSince(now, last_send), TicksSince(now, last_recv));
        wait = std::min(kIdleWakeMs, quiet >= kIdleLimitMs ? 1 : kIdleLimitMs - quiet + 1);
      }
      env_.network.WaitReadable(*client_, *tunnel_, wait);
    }
  }
}

bool TProxyThread::StatusDue(std::uint32_t now) const {
  if (FConnDelta != 0 || (!FStatusText.empty() && FStatusText != status_after_hand_off_)) return true;
  return !CountersIdle() && TicksSince(now, last_status_) >= kBusyStatusIntervalMs;
}

void TProxyThread::SendBlock(std::size_t count, std::uint32_t& last_send) {
  FRawOut += static_cast<std::int64_t>(count);
  const std::uint32_t block_start = env_.clock.Now();
  const EncodedFrame frame =
      EncodeFrame(env_.words, std::span<const std::uint8_t>(raw_buf_.data(), count),
                  std::span<std::uint8_t, kFrameBufferSize>(frame_buf_.data(), kFrameBufferSize), FWireOut);
  const std::span<const std::uint8_t> bytes(frame_buf_.data() + frame.offset, frame.length);
  bool written = false;
  if (FPlan.opening.empty()) {
    written = tunnel_->Write(bytes);
  } else {
    // The opening and the first frame leave in one write.
    std::vector<std::uint8_t> first = std::move(FPlan.opening);
    FPlan.opening.clear();
    FRawOut += static_cast<std::int64_t>(first.size());
    first.insert(first.end(), bytes.begin(), bytes.end());
    written = tunnel_->Write(first);
  }
  if (!written) {
    tunnel_.reset();
    return;
  }
  const std::uint32_t block_end = env_.clock.Now();
  env_.main_thread.Invoke([&] {
    env_.host.AddTraffic(block_start, block_end, static_cast<std::int64_t>(count),
                         static_cast<std::int64_t>(frame.length), 0, 0);
  });
  last_send = block_end;
}

void TProxyThread::ReadTunnel(std::uint32_t& last_recv) {
  while (tunnel_ && tunnel_->Readable()) {
    const long n = tunnel_->Read(raw_buf_.data(), kTunnelReadSize);
    if (n <= 0) {
      tunnel_.reset();  // frames still incomplete in FRxBuf are dropped
      return;
    }
    last_recv = env_.clock.Now();
    FWireIn += n;
    FRxBuf.Append(std::span<const std::uint8_t>(raw_buf_.data(), static_cast<std::size_t>(n)));
    if (!ClientOpen()) return;
    if (!DeliverFrames()) {
      CloseClient();
      return;
    }
  }
}

bool TProxyThread::DeliverFrames() {
  for (;;) {
    delivery_.clear();
    if (delivery_.capacity() == 0) delivery_.reserve(kDeliveryBatchBytes + kMaxUnpackedBlock);
    FrameVerdict verdict = FrameVerdict::kContinue;
    env_.main_thread.Invoke([&] {
      verdict = DecodeFrames(FRxBuf, [this](const ReceiveBuffer&, const FrameView& frame) { return HandleFrame(frame); });
    });
    if (FRxBuf.empty()) FLastEmptyTick = env_.clock.Now();
    // What the frames before a failing one produced still reaches the client.
    if (!delivery_.empty()) {
      if (!client_->Write(delivery_)) return false;
      FDelivered += static_cast<std::int64_t>(delivery_.size());
    }
    if (verdict == FrameVerdict::kClose) return false;
    if (verdict == FrameVerdict::kContinue) return true;
  }
}

// On the main thread, inside the worker's hand-off.
FrameVerdict TProxyThread::HandleFrame(const FrameView& frame) {
  FFrameFlags = frame.flags;
  FFrameEscape = frame.escape;
  FPayloadOffset = static_cast<std::int32_t>(frame.payload_offset);
  FFrameLength = static_cast<std::int32_t>(frame.payload_length);
  env_.host.HandleServerFrame(*this);
  if (FFrameLength < 0) return FrameVerdict::kClose;
  const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(FFrameLength), FReply.size());
  delivery_.insert(delivery_.end(), FReply.begin(), FReply.begin() + static_cast<long>(n));
  return delivery_.size() >= kDeliveryBatchBytes ? FrameVerdict::kPause : FrameVerdict::kContinue;
}

}  // namespace korvan
