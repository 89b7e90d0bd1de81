// The traffic and account statistics. The account-information reply from the
// server overwrites the whole block, so its layout is also a wire format:
// seven little-endian IEEE doubles and one byte, 57 bytes.
//
// Thread rule: main thread only; workers add to it through their reports,
// inside hand-offs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace korvan {

inline constexpr std::size_t kStatisticsBlockSize = 57;

struct StatisticsBlock {
  double sent_uncompressed = 0;      // KiB, from local clients
  double sent_compressed = 0;        // KiB, the same through the tunnel
  double received_uncompressed = 0;  // KiB, delivered to local clients
  double received_compressed = 0;    // KiB, as received through the tunnel
  double credit = 0;                 // KiB
  double prepaid_until = 0;          // days since 1899-12-30, 0 = unknown
  double account_valid_until = 0;    // as above
  std::uint8_t further = 0;          // kept, not interpreted here

  bool operator==(const StatisticsBlock&) const = default;
};

std::array<std::uint8_t, kStatisticsBlockSize> SerializeStatistics(const StatisticsBlock& block);
// The block at the front of `bytes`; nullopt when fewer than 57 bytes.
std::optional<StatisticsBlock> ParseStatistics(std::span<const std::uint8_t> bytes);

}  // namespace korvan
