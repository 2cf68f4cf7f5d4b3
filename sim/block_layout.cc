#include "sim/block_layout.h"

#include <algorithm>

namespace sim {

BlockLayout::BlockLayout(const std::vector<FlashRegion>& regions, std::uint64_t limit)
    : starts_{0} {
  std::uint64_t end = 0;
  for (const FlashRegion& region : regions) {
    if (region.size == 0) continue;
    for (std::uint32_t i = 0; i < region.count && end + region.size <= limit; ++i) {
      end += region.size;
      starts_.push_back(end);
    }
  }
}

std::optional<std::uint32_t> BlockLayout::Search(std::uint64_t offset) const {
  if (offset >= End()) return std::nullopt;
  // The first start past `offset` ends the block holding it.
  const auto next = std::upper_bound(starts_.begin(), starts_.end(), offset);
  last_ = static_cast<std::uint32_t>(next - starts_.begin() - 1);
  return last_;
}

}  // namespace sim
