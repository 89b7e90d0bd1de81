// The one-minute throughput chart: 61 one-second buckets of byte counts
// (index 60 is the current second) and the four series drawn from them.
// Transfers are spread over the buckets their time span covers; the timer
// turns the buckets into points once a second and moves them one step left.
// Main thread only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace korvan {

class TrafficChart {
 public:
  static constexpr std::size_t kBuckets = 61;
  static constexpr std::uint32_t kBucketMs = 1000;

  struct Bucket {
    std::uint32_t received_compressed = 0;
    std::uint32_t received_decompressed = 0;
    std::uint32_t sent_uncompressed = 0;
    std::uint32_t sent_compressed = 0;
    bool operator==(const Bucket&) const = default;
  };

  enum Series : std::size_t { kReceived = 0, kReceivedCompressed = 1, kSent = 2, kSentCompressed = 3 };
  using Points = std::array<double, kBuckets>;  // KiB per second, x = 0..60

  // Empty buckets and points; the current second starts at `now`.
  void Reset(std::uint32_t now);

  // Adds one transfer that ran from `start` to `end` (ticks). Each bucket
  // gets the part of the counts that matches its share of the transfer's
  // time; parts outside the 61 seconds are dropped. A transfer of no
  // duration counts in the second it happened in.
  void AddTraffic(std::uint32_t start, std::uint32_t end, std::uint32_t sent_uncompressed,
                  std::uint32_t sent_compressed, std::uint32_t received_compressed,
                  std::uint32_t received_decompressed);

  // Once a second: every point becomes the three-second mean around its
  // bucket (the end points their own bucket), the buckets move one second
  // left, and a new current second begins at `now`.
  void Tick(std::uint32_t now);

  const std::array<Bucket, kBuckets>& buckets() const { return buckets_; }
  const Points& series(Series s) const { return series_[s]; }
  std::uint32_t current_start() const { return current_start_; }

 private:
  std::array<Bucket, kBuckets> buckets_{};
  std::array<Points, 4> series_{};
  std::uint32_t current_start_ = 0;
};

}  // namespace korvan
