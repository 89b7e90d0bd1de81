// The values that cross between a connection worker and the main thread.
// Nothing else crosses: the worker owns its sockets and buffers, the main
// thread owns the shell, and each hand-off carries one of these.
//
// Thread rule: plain values. A worker passes its own StatusReport by
// reference into a hand-off, during which it waits; outside hand-offs only
// the worker touches it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tunnel/session_opening.h"
#include "wire/opening.h"

namespace korvan {

// The accepted client, as the worker tells the main thread when it starts.
struct AcceptedClient {
  std::size_t port_index = 0;  // the port entry whose listener accepted it
  std::string local_address;   // dotted local interface address
  std::uint32_t address = 0;   // IPv4 as held in the socket address
  std::uint16_t port = 0;
};

// The main thread's answer: carry the connection with `plan`, or turn the
// client away (with `refusal` sent first when it is not empty).
struct OpeningDecision {
  bool admitted = false;
  std::string refusal;
  OpeningPlan plan;
  // The connection carries the program's own update check.
  bool is_update_check = false;
};

// Bytes moved since the last report.
struct TransferCounters {
  std::int64_t delivered = 0;  // to the client, as the frame rules count them
  std::int64_t raw_out = 0;    // from the client, plus the opening message
  std::int64_t wire_in = 0;    // from the tunnel
  std::int64_t wire_out = 0;   // to the tunnel
  bool IsZero() const { return delivered == 0 && raw_out == 0 && wire_in == 0 && wire_out == 0; }
};

// One transfer for the throughput chart: its time span in ticks and its
// bytes on each side.
struct TrafficSample {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  std::int64_t raw_out = 0;
  std::int64_t wire_out = 0;
  std::int64_t wire_in = 0;
  std::int64_t raw_in = 0;
};

// What a worker has to tell the shell and has not told it yet. The shell
// takes the counters, the samples and the connection change (leaving them
// zero) and the status text when it logs it; a text it declines stays.
struct StatusReport {
  // Samples waiting beyond this many are merged into the last one: a main
  // thread that falls behind costs no memory, only chart detail.
  static constexpr std::size_t kMaxSamples = 256;

  TransferCounters counters;
  std::int32_t connection_delta = 0;
  std::string status_text;
  bool is_update_check = false;
  std::vector<TrafficSample> samples;

  void AddSample(const TrafficSample& sample);
};

enum class FrameAction { kWrite, kNothing, kClose };

// A control frame from the server, unpacked on the worker and handed to the
// main thread. Both views stay in the worker's buffers, which do not change
// while the worker waits for the answer.
struct ControlFrame {
  std::span<const std::uint8_t> decoded;   // the kind byte first; never empty
  std::span<const std::uint8_t> received;  // the payload as it arrived
  Protocol protocol = Protocol::kHttp;     // of the local port
  // The time span given to the frame before this one (a count-only frame
  // charges its size to it).
  std::uint32_t previous_start = 0;
  std::uint32_t previous_end = 0;
};

// What becomes of a control frame: bytes for the client, nothing, or the
// end of the connection, and the size the statistics count as received
// uncompressed.
struct FrameOutcome {
  FrameAction action = FrameAction::kClose;
  std::vector<std::uint8_t> bytes;  // kWrite
  std::int64_t decompressed = 0;
  // Pixel work (a drawn banner, a recompressed GIF) that makes the bytes
  // for the client. It runs on the worker's own thread after the hand-off,
  // so that the main thread never waits for it; an empty result closes the
  // connection.
  std::function<std::vector<std::uint8_t>()> render;
  // The frame counts as this many bytes delivered, whatever the length of
  // what is finally written (a drawn banner counts as the object it stands
  // for).
  std::optional<std::int64_t> counts_as;

  static FrameOutcome Close() { return {}; }
  static FrameOutcome Nothing() {
    FrameOutcome o;
    o.action = FrameAction::kNothing;
    return o;
  }
  static FrameOutcome Write(std::vector<std::uint8_t> bytes, std::int64_t decompressed) {
    FrameOutcome o;
    o.action = FrameAction::kWrite;
    o.bytes = std::move(bytes);
    o.decompressed = decompressed;
    return o;
  }
  static FrameOutcome Render(std::function<std::vector<std::uint8_t>()> render, std::int64_t decompressed,
                             std::int64_t counts_as) {
    FrameOutcome o;
    o.action = FrameAction::kWrite;
    o.render = std::move(render);
    o.decompressed = decompressed;
    o.counts_as = counts_as;
    return o;
  }
};

}  // namespace korvan
