// The standard advertising-banner sizes, by the index that a blocked
// banner's frame carries (1..14); the user's filter word has bit k - 1 set
// for each size k to block. Both ends read this one table.
#pragma once

#include <array>
#include <optional>

namespace korvan {

struct BannerSize {
  int width = 0;
  int height = 0;
  friend bool operator==(const BannerSize&, const BannerSize&) = default;
};

// Entry 0 has no size.
inline constexpr std::array<BannerSize, 15> BannerSizes = {{
    {0, 0},
    {468, 60},
    {234, 60},
    {125, 125},
    {120, 240},
    {88, 31},
    {120, 90},
    {120, 60},
    {160, 600},
    {240, 400},
    {180, 150},
    {120, 600},
    {300, 250},
    {250, 250},
    {240, 240},
}};

inline constexpr int kBannerSizeCount = static_cast<int>(BannerSizes.size()) - 1;

// The size of banner index k; nullopt for 0 and anything above 14.
inline std::optional<BannerSize> BannerSizeOf(int k) {
  if (k < 1 || k > kBannerSizeCount) return std::nullopt;
  return BannerSizes[static_cast<std::size_t>(k)];
}

}  // namespace korvan
