#include "shell/traffic_chart.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korvan {
namespace {

void AddSaturated(std::uint32_t& to, std::uint64_t amount) {
  to = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{to} + amount,
                                                          std::numeric_limits<std::uint32_t>::max()));
}

// The part of `count` that falls into the time up to `elapsed` of `duration`,
// rounded; differences of these give each bucket its part without rounding
// errors adding up.
std::uint64_t PartUpTo(std::uint32_t count, std::int64_t elapsed, std::int64_t duration) {
  return static_cast<std::uint64_t>(
      std::llround(static_cast<double>(count) * static_cast<double>(elapsed) / static_cast<double>(duration)));
}

}  // namespace

void TrafficChart::Reset(std::uint32_t now) {
  buckets_ = {};
  for (auto& points : series_) points.fill(0);
  current_start_ = now;
}

void TrafficChart::AddTraffic(std::uint32_t start, std::uint32_t end, std::uint32_t sent_uncompressed,
                              std::uint32_t sent_compressed, std::uint32_t received_compressed,
                              std::uint32_t received_decompressed) {
  // Times relative to the start of bucket 0; tick differences are taken by
  // unsigned subtraction, so the counter may wrap.
  const std::int64_t window_start = -static_cast<std::int64_t>(kBuckets - 1) * kBucketMs;
  const std::int64_t s = static_cast<std::int32_t>(start - current_start_) - window_start;
  const std::int64_t duration = static_cast<std::int32_t>(end - start);
  if (duration < 0) return;

  const std::int64_t window_end = static_cast<std::int64_t>(kBuckets) * kBucketMs;
  if (duration == 0) {
    if (s < 0 || s >= window_end) return;
    Bucket& b = buckets_[static_cast<std::size_t>(s / kBucketMs)];
    AddSaturated(b.sent_uncompressed, sent_uncompressed);
    AddSaturated(b.sent_compressed, sent_compressed);
    AddSaturated(b.received_compressed, received_compressed);
    AddSaturated(b.received_decompressed, received_decompressed);
    return;
  }
  for (std::size_t k = 0; k < kBuckets; ++k) {
    const std::int64_t bucket_start = static_cast<std::int64_t>(k) * kBucketMs;
    const std::int64_t from = std::max(bucket_start, s);
    const std::int64_t to = std::min(bucket_start + kBucketMs, s + duration);
    if (to <= from) continue;
    const auto share = [&](std::uint32_t count) {
      return PartUpTo(count, to - s, duration) - PartUpTo(count, from - s, duration);
    };
    Bucket& b = buckets_[k];
    AddSaturated(b.sent_uncompressed, share(sent_uncompressed));
    AddSaturated(b.sent_compressed, share(sent_compressed));
    AddSaturated(b.received_compressed, share(received_compressed));
    AddSaturated(b.received_decompressed, share(received_decompressed));
  }
}

void TrafficChart::Tick(std::uint32_t now) {
  const auto before = buckets_;
  const auto point = [&](std::size_t i, std::uint32_t Bucket::*field) {
    if (i == 0 || i == kBuckets - 1) return before[i].*field / 1024.0;
    return (static_cast<double>(before[i - 1].*field) + before[i].*field + before[i + 1].*field) / 3072.0;
  };
  for (std::size_t i = 0; i < kBuckets; ++i) {
    series_[kReceived][i] = point(i, &Bucket::received_decompressed);
    series_[kReceivedCompressed][i] = point(i, &Bucket::received_compressed);
    series_[kSent][i] = point(i, &Bucket::sent_uncompressed);
    series_[kSentCompressed][i] = point(i, &Bucket::sent_compressed);
    if (i >= 1) buckets_[i - 1] = before[i];
  }
  buckets_[kBuckets - 1] = Bucket{};
  current_start_ = now;
}

}  // namespace korvan
