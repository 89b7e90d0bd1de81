#include "tunnel/worker_messages.h"

namespace korvan {

void StatusReport::AddSample(const TrafficSample& sample) {
  if (samples.size() < kMaxSamples) {
    samples.push_back(sample);
    return;
  }
  TrafficSample& last = samples.back();
  // The merged span runs from the earlier start to the later end.
  if (static_cast<std::int32_t>(sample.start - last.start) < 0) last.start = sample.start;
  if (static_cast<std::int32_t>(sample.end - last.end) > 0) last.end = sample.end;
  last.raw_out += sample.raw_out;
  last.wire_out += sample.wire_out;
  last.wire_in += sample.wire_in;
  last.raw_in += sample.raw_in;
}

}  // namespace korvan
