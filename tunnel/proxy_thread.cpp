#include "tunnel/proxy_thread.h"

#include <algorithm>
#include <cstring>

#include "tunnel/data_frames.h"
#include "wire/frame_writer.h"

namespace korvan {

TProxyThread::TProxyThread(WorkerEnvironment env, std::unique_ptr<StreamSocket> client, std::size_t port_index)
    : env_(env), client_(std::move(client)), port_index_(port_index) {}

void TProxyThread::CloseClient() {
  if (client_) client_->Close();
}

void TProxyThread::ClientExecute() {
  if (!client_) return;
  const AcceptedClient who{port_index_, client_->LocalAddress(), client_->PeerAddress(), client_->PeerPort()};
  OpeningDecision decision;
  OnMainThread([&] { decision = env_.host.PrepareOpening(who); });
  if (!decision.admitted) {
    TurnAway(decision.refusal);
    return;
  }
  if (!ClientOpen() || Terminated()) {
    TurnAway({});
    return;
  }

  plan_ = std::move(decision.plan);
  report_ = StatusReport{};
  report_.is_update_check = decision.is_update_check;
  report_.connection_delta = 1;
  try {
    Pump();
  } catch (...) {
    // Any failure inside the pump ends the connection quietly; a status
    // text, if one was set, reaches the log through the last hand-off.
  }
  tunnel_.reset();
  report_.connection_delta -= 1;
  HandOffStatus();
  CloseClient();
}

// A client that is not carried: the refusal text (if any), a moment for it
// to arrive, and the end. The counters are never touched.
void TProxyThread::TurnAway(const std::string& refusal) {
  Terminate();
  if (!refusal.empty()) {
    client_->Write({reinterpret_cast<const std::uint8_t*>(refusal.data()), refusal.size()});
    env_.clock.Sleep(kRefusalCloseDelayMs);
    CloseClient();
  }
  CloseClient();
  env_.clock.Sleep(kRefusalCloseDelayMs);
}

void TProxyThread::Pump() {
  client_->SetTimeout(kClientTimeoutMs);
  TunnelConnection connection = ConnectTunnel(plan_, env_.network, env_.clock);
  if (!connection.socket) {
    OnMainThread([&] { report_.status_text = env_.host.TunnelFailureText(connection.failure); });
    return;
  }
  tunnel_ = std::move(connection.socket);
  report_.counters.raw_out = 0;
  raw_buf_ = std::make_unique_for_overwrite<std::uint8_t[]>(kMaxRawBlock + 1);
  frame_buf_ = std::make_unique_for_overwrite<std::uint8_t[]>(kFrameBufferSize);

  std::uint32_t last_send = env_.clock.TickCount();
  last_empty_tick_ = last_send;
  if (!plan_.initial_data.empty()) {
    std::memcpy(raw_buf_.get(), plan_.initial_data.data(), plan_.initial_data.size());
    SendBlock(plan_.initial_data.size(), last_send);
  }
  if (!connection.early_bytes.empty()) {
    report_.counters.wire_in += static_cast<std::int64_t>(connection.early_bytes.size());
    received_.Append(connection.early_bytes);
    if (!DeliverFrames()) CloseClient();
  }

  last_send = env_.clock.TickCount();
  std::uint32_t last_recv = last_send;
  bool stop = Terminated();
  while (!stop && ClientOpen() && tunnel_) {
    // Read what the client has ready, up to one block.
    std::size_t count = 0;
    while (!Terminated() && ClientOpen() && count < kMaxRawBlock && client_->Readable()) {
      const long n = client_->Read(raw_buf_.get() + count, kMaxRawBlock - count);
      if (n <= 0) {
        CloseClient();
      } else {
        count += static_cast<std::size_t>(n);
      }
    }
    if (count > 0) SendBlock(count, last_send);
    // Ports whose server speaks first get the opening alone.
    if (!plan_.opening.empty() && plan_.protocol != Protocol::kHttp && tunnel_) SendOpeningAlone();

    if (received_.empty()) last_empty_tick_ = env_.clock.TickCount();
    if (tunnel_) ReadTunnel(last_recv);

    const std::uint32_t now = env_.clock.TickCount();
    stop = (TicksSince(now, last_send) > kIdleLimitMs && TicksSince(now, last_recv) > kIdleLimitMs) || Terminated();
    if (StatusDue(now)) {
      HandOffStatus();
      last_status_ = now;
    } else if (!stop && ClientOpen() && tunnel_) {
      WaitForEitherSide(now, last_send, last_recv);
    }
  }
}

// Nothing to report yet: sleep until either side has bytes, until the
// counters are due, or, when idle, until the idle limit would be passed (at
// most kIdleWakeMs, to notice Terminate()).
void TProxyThread::WaitForEitherSide(std::uint32_t now, std::uint32_t last_send, std::uint32_t last_recv) {
  std::uint32_t wait = kBusyStatusIntervalMs - std::min(TicksSince(now, last_status_), kBusyStatusIntervalMs);
  if (ReportIdle()) {
    delivery_.Release();
    if (received_.empty()) received_.Release();
    const std::uint32_t quiet = std::min(TicksSince(now, last_send), TicksSince(now, last_recv));
    wait = std::min(kIdleWakeMs, quiet >= kIdleLimitMs ? 1 : kIdleLimitMs - quiet + 1);
  }
  env_.network.WaitReadable(*client_, *tunnel_, wait);
}

bool TProxyThread::ReportIdle() const {
  return report_.counters.IsZero() && report_.samples.empty() &&
         (report_.status_text.empty() || report_.status_text == declined_text_);
}

bool TProxyThread::StatusDue(std::uint32_t now) const {
  if (report_.connection_delta != 0 || (!report_.status_text.empty() && report_.status_text != declined_text_)) {
    return true;
  }
  return !ReportIdle() && TicksSince(now, last_status_) >= kBusyStatusIntervalMs;
}

void TProxyThread::HandOffStatus() {
  OnMainThread([this] { env_.host.ReportStatus(report_); });
  declined_text_ = report_.status_text;
}

void TProxyThread::SendOpeningAlone() {
  report_.counters.raw_out += static_cast<std::int64_t>(plan_.opening.size());
  if (!tunnel_->Write(plan_.opening)) tunnel_.reset();
  plan_.opening.clear();
}

void TProxyThread::SendBlock(std::size_t count, std::uint32_t& last_send) {
  report_.counters.raw_out += static_cast<std::int64_t>(count);
  const std::uint32_t block_start = env_.clock.TickCount();
  const EncodedFrame frame = EncodeFrame(env_.words, std::span<const std::uint8_t>(raw_buf_.get(), count),
                                         std::span<std::uint8_t, kFrameBufferSize>(frame_buf_.get(), kFrameBufferSize),
                                         report_.counters.wire_out);
  const std::span<const std::uint8_t> bytes(frame_buf_.get() + frame.offset, frame.length);
  bool written = false;
  if (plan_.opening.empty()) {
    written = tunnel_->Write(bytes);
  } else {
    // The opening and the first frame leave in one write.
    std::vector<std::uint8_t> first = std::move(plan_.opening);
    plan_.opening.clear();
    report_.counters.raw_out += static_cast<std::int64_t>(first.size());
    first.insert(first.end(), bytes.begin(), bytes.end());
    written = tunnel_->Write(first);
  }
  if (!written) {
    tunnel_.reset();
    return;
  }
  const std::uint32_t block_end = env_.clock.TickCount();
  report_.AddSample({block_start, block_end, static_cast<std::int64_t>(count), static_cast<std::int64_t>(frame.length),
                     0, 0});
  last_send = block_end;
}

void TProxyThread::ReadTunnel(std::uint32_t& last_recv) {
  while (tunnel_ && tunnel_->Readable()) {
    // Straight into the receive buffer: no copy on the way to the codec.
    const std::span<std::uint8_t> room = received_.AppendSpace(kTunnelReadSize);
    const long n = tunnel_->Read(room.data(), room.size());
    if (n <= 0) {
      tunnel_.reset();  // frames still incomplete in the buffer are dropped
      return;
    }
    received_.CommitAppend(static_cast<std::size_t>(n));
    last_recv = env_.clock.TickCount();
    report_.counters.wire_in += n;
    if (!ClientOpen()) return;
    if (!DeliverFrames()) {
      CloseClient();
      return;
    }
  }
}

// Takes every complete frame from the front of the receive buffer, in
// order. False when the connection must close; what the frames before the
// failing one produced has reached the client by then.
bool TProxyThread::DeliverFrames() {
  FrameView frame;
  while (PeekFrame(received_.data(), frame)) {
    if (frame.flags & tfControl) {
      if (!HandleControlFrame(frame)) {
        FlushDelivery();
        return false;
      }
    } else {
      const std::span<std::uint8_t> out = delivery_.AppendSpace(kMaxUnpackedBlock);
      const int n = UnpackDataFrame(env_.words, frame, received_.data(), out.data());
      if (n < 0) {
        FlushDelivery();
        return false;
      }
      delivery_.CommitAppend(static_cast<std::size_t>(n));
      RecordInbound(frame.payload_length, n);
    }
    received_.Consume(frame.frame_length);
    if (delivery_.size() >= kDeliveryBatchBytes && !FlushDelivery()) return false;
  }
  if (received_.empty()) last_empty_tick_ = env_.clock.TickCount();
  return FlushDelivery();
}

bool TProxyThread::HandleControlFrame(const FrameView& frame) {
  if (!control_buf_) control_buf_ = std::make_unique_for_overwrite<std::uint8_t[]>(kMaxUnpackedBlock);
  const int decoded = UnpackControlFrame(env_.words, frame, received_.data(), control_buf_.get());
  if (decoded < 0) return false;  // nothing is logged for a frame that does not unpack
  const ControlFrame control{std::span<const std::uint8_t>(control_buf_.get(), static_cast<std::size_t>(decoded)),
                             received_.data().subspan(frame.payload_offset, frame.payload_length), plan_.protocol,
                             previous_start_, previous_end_};
  FrameOutcome outcome;
  OnMainThread([&] { outcome = env_.host.HandleControlFrame(control, report_); });
  if (outcome.action == FrameAction::kClose) return false;
  if (outcome.render) {
    // Pixel work runs off the main thread, which is free again by now.
    outcome.bytes = env_.pixel_work != nullptr ? env_.pixel_work->Run(outcome.render) : outcome.render();
    if (outcome.bytes.empty()) return false;
    outcome.action = FrameAction::kWrite;
  }
  if (outcome.action == FrameAction::kWrite) {
    if (outcome.counts_as) {
      report_.counters.delivered += *outcome.counts_as - static_cast<std::int64_t>(outcome.bytes.size());
    }
    delivery_.Append(outcome.bytes);
  }
  RecordInbound(frame.payload_length, outcome.decompressed);
  return true;
}

// The frame's span of time for the chart: from when the buffer was last
// empty, by its share of the bytes buffered (this frame and those behind).
void TProxyThread::RecordInbound(std::size_t payload, std::int64_t decompressed) {
  const std::uint32_t start = last_empty_tick_;
  const std::uint32_t end = FrameEndTick(env_.clock.TickCount(), start, received_.size(), payload);
  previous_start_ = start;
  previous_end_ = end;
  report_.AddSample({start, end, 0, 0, static_cast<std::int64_t>(payload), decompressed});
  last_empty_tick_ = end;
}

bool TProxyThread::FlushDelivery() {
  if (delivery_.empty()) return true;
  const bool written = client_->Write(delivery_.data());
  if (written) report_.counters.delivered += static_cast<std::int64_t>(delivery_.size());
  delivery_.Clear();
  return written;
}

}  // namespace korvan
