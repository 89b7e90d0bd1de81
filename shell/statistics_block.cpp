#include "shell/statistics_block.h"

#include <bit>

namespace korvan {
namespace {

void PutDouble(std::uint8_t* out, double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

double GetDouble(const std::uint8_t* in) {
  std::uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(in[i]) << (8 * i);
  return std::bit_cast<double>(bits);
}

}  // namespace

std::array<std::uint8_t, kStatisticsBlockSize> SerializeStatistics(const StatisticsBlock& block) {
  std::array<std::uint8_t, kStatisticsBlockSize> out{};
  const double fields[] = {block.sent_uncompressed,     block.sent_compressed, block.received_uncompressed,
                           block.received_compressed,   block.credit,          block.prepaid_until,
                           block.account_valid_until};
  for (std::size_t i = 0; i < 7; ++i) PutDouble(out.data() + 8 * i, fields[i]);
  out[56] = block.further;
  return out;
}

std::optional<StatisticsBlock> ParseStatistics(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kStatisticsBlockSize) return std::nullopt;
  const std::uint8_t* p = bytes.data();
  StatisticsBlock block;
  block.sent_uncompressed = GetDouble(p);
  block.sent_compressed = GetDouble(p + 8);
  block.received_uncompressed = GetDouble(p + 16);
  block.received_compressed = GetDouble(p + 24);
  block.credit = GetDouble(p + 32);
  block.prepaid_until = GetDouble(p + 40);
  block.account_valid_until = GetDouble(p + 48);
  block.further = p[56];
  return block;
}

}  // namespace korvan
