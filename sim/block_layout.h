// Where each erase block of a device lies: block i of the regions in order, region 0 from
// offset 0. The chip model, the tool and the tests find blocks here; the flash driver keeps
// its own geometry code (it reads the regions from the chip's query table, as on the device).
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "sim/device.h"

namespace sim {

class BlockLayout {
 public:
  BlockLayout() : starts_{0} {}
  // The blocks of `regions`, leaving out regions of size 0 and every block that would end past
  // `limit` (an in-memory chip's array may be shorter than the regions it describes).
  explicit BlockLayout(const std::vector<FlashRegion>& regions,
                       std::uint64_t limit = std::numeric_limits<std::uint64_t>::max());

  std::uint32_t Count() const { return static_cast<std::uint32_t>(starts_.size() - 1); }
  // The first byte of `block`; Start(Count()) is End().
  std::uint64_t Start(std::uint32_t block) const { return starts_.at(block); }
  std::uint32_t Size(std::uint32_t block) const {
    return static_cast<std::uint32_t>(starts_.at(block + 1) - starts_[block]);
  }
  // The bytes the blocks cover.
  std::uint64_t End() const { return starts_.back(); }

  // The block holding byte `offset`, or nothing past End(). Programming stays in one block for
  // thousands of words, so the block of the last answer is tried first, here where every
  // register access of the chip can inline it.
  std::optional<std::uint32_t> BlockAt(std::uint64_t offset) const {
    const std::uint32_t last = last_;
    if (last + 1 < starts_.size() && offset >= starts_[last] && offset < starts_[last + 1])
      return last;
    return Search(offset);
  }

 private:
  std::optional<std::uint32_t> Search(std::uint64_t offset) const;
  std::vector<std::uint64_t> starts_;  // Count() + 1 entries: each block's start, then the end
  mutable std::uint32_t last_ = 0;     // where BlockAt found the last offset
};

}  // namespace sim
