// The partition table of the NOR boot flash: 800 bytes at offset 0 of the last erase block,
// naming each fixed partition with a type code, a name, its first and last block and its block
// size. Pure data handling on an 800-byte buffer; nothing here touches the flash.
//
// Layout (all multi-byte fields little-endian):
//
//   offset  size  field
//        0    10  start marker "<MAGIC_2>" and NUL
//       10     6  zero
//       16   768  16 entries of 48 bytes, entry i at 16 + 48 * i
//      784    11  end marker "</MAGIC_2>" and NUL
//      795     5  zero
//
// Entry (48 bytes):
//
//        0     4  type (a PartitionType code; 0 for an empty entry)
//        4    32  name, ASCII, NUL-terminated and zero-filled
//       36     4  first block (0xFFFFFFFF in an empty entry)
//       40     4  last block, inclusive (0xFFFFFFFF in an empty entry)
//       44     4  block size in bytes (0 in an empty entry, and 0 for a partition that spans
//                 both erase-block regions)
//
// An empty entry has type 0, the name "Unused", both blocks 0xFFFFFFFF and block size 0.
#pragma once

#include <cstddef>

#include "platform/types.h"

enum class PartitionType : DWORD {
  Empty = 0,
  Bootloader = 2,
  SemiPermanentSettings = 4,
  SerialSettings = 6,
  UuidSettings = 7,
  MacSettings = 8,
  Bitmap = 9,
};

inline constexpr std::size_t kPartitionTableSize = 800;
inline constexpr std::size_t kPartitionEntryCount = 16;
inline constexpr std::size_t kPartitionEntrySize = 48;
inline constexpr std::size_t kPartitionEntriesOffset = 16;
inline constexpr std::size_t kPartitionEndMarkerOffset = 784;
inline constexpr std::size_t kPartitionNameSize = 32;
inline constexpr std::size_t kPartitionTypeOffset = 0;         // inside an entry
inline constexpr std::size_t kPartitionNameOffset = 4;         // inside an entry
inline constexpr std::size_t kPartitionFirstBlockOffset = 36;  // inside an entry
inline constexpr std::size_t kPartitionLastBlockOffset = 40;   // inside an entry
inline constexpr std::size_t kPartitionBlockSizeOffset = 44;   // inside an entry
inline constexpr DWORD kPartitionNoBlock = 0xFFFFFFFFu;

static_assert(kPartitionEntriesOffset + kPartitionEntryCount * kPartitionEntrySize ==
              kPartitionEndMarkerOffset);
static_assert(kPartitionNameOffset + kPartitionNameSize == kPartitionFirstBlockOffset);
static_assert(kPartitionBlockSizeOffset + 4 == kPartitionEntrySize);
static_assert(kPartitionEndMarkerOffset + 11 + 5 == kPartitionTableSize);

class PartitionTable {
 public:
  // 1 when the start marker (with its NUL at offset 9) and the end marker (with its NUL at
  // offset 794) are both present; 0 otherwise, and for a null table. Nothing else is looked at:
  // a table with intact markers and arbitrary entries is valid.
  [[nodiscard]] static int IsValid(const BYTE* table);

  // Writes both markers and 16 empty entries; bytes not written keep their contents. 1, or 0
  // for a null table.
  static int Initialise(BYTE* table);

  // Builds the default layout for a flash of T = counts[0] + counts[1] blocks (region 0 first):
  // Serial settings at T-2, UUID at T-3, MAC at T-4, Semi-Permanent settings at T-5 (one block
  // each, entries 0 to 3), the bootloader from block 0 to the first block at which the running
  // size reaches 0x100000 (entry 4), the bitmap from the next block to the first at which its
  // running size reaches 0xC0000 (entry 5), entries 6 to 15 empty; the table itself lives in
  // block T-1. The buffer is zeroed first. 0 for a null table, T < 10, or when the bootloader or
  // the bitmap would need block T-5 or later (the buffer then holds a partly built table).
  [[nodiscard]] static int BuildDefault(BYTE* table, const DWORD regionBlockSizes[2],
                                        const DWORD regionBlockCounts[2]);

  // First (last) block of the first entry, in order 0..15, whose type equals `type` in all 32
  // bits; -1 when none does (and for a null table). Type 0 finds the first empty entry, whose
  // 0xFFFFFFFF reads as -1.
  [[nodiscard]] static INT FirstBlockOfType(DWORD type, const BYTE* table);
  [[nodiscard]] static INT LastBlockOfType(DWORD type, const BYTE* table);
};
