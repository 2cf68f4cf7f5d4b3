#include "flash/partition_table.h"

#include <cstring>

#include "common/byte_order.h"

namespace {

constexpr char kStartMarker[] = "<MAGIC_2>";
constexpr char kEndMarker[] = "</MAGIC_2>";
constexpr char kUnusedName[] = "Unused";
static_assert(sizeof kStartMarker == 10 && sizeof kEndMarker == 11);
static_assert(kPartitionEntriesOffset >= sizeof kStartMarker);

constexpr DWORD kBootloaderBytes = 0x100000;
constexpr DWORD kBitmapBytes = 0xC0000;
constexpr DWORD kMinimumBlocks = 10;
// The four settings partitions stand just below the table block, one block each.
constexpr DWORD kFirstReservedFromTop = 5;

BYTE* Entry(BYTE* table, std::size_t index) {
  return table + kPartitionEntriesOffset + kPartitionEntrySize * index;
}

const BYTE* Entry(const BYTE* table, std::size_t index) {
  return table + kPartitionEntriesOffset + kPartitionEntrySize * index;
}

// A NUL-terminated comparison that never reads past the marker's own length plus its NUL.
bool HasMarker(const BYTE* at, const char* marker, std::size_t sizeWithNul) {
  return std::memcmp(at, marker, sizeWithNul) == 0;
}

void WriteEntry(BYTE* table, std::size_t index, PartitionType type, const char* name, DWORD first,
                DWORD last, DWORD blockSize) {
  BYTE* entry = Entry(table, index);
  StoreLittleEndian32(entry + kPartitionTypeOffset, static_cast<DWORD>(type));
  const std::size_t nameLength = std::strlen(name) + 1;
  std::memcpy(entry + kPartitionNameOffset, name, nameLength);
  StoreLittleEndian32(entry + kPartitionFirstBlockOffset, first);
  StoreLittleEndian32(entry + kPartitionLastBlockOffset, last);
  StoreLittleEndian32(entry + kPartitionBlockSizeOffset, blockSize);
}

struct Regions {
  DWORD sizes[2];
  DWORD counts[2];
  int RegionOf(DWORD block) const { return block < counts[0] ? 0 : 1; }
  DWORD SizeOf(DWORD block) const { return sizes[RegionOf(block)]; }
};

// Walks blocks from `first` until their running size reaches `bytes`; the block reached goes to
// *last. False when the walk would have to take block `limit` or later.
bool WalkUntil(const Regions& regions, DWORD first, DWORD bytes, DWORD limit, DWORD* last) {
  unsigned long long total = 0;
  for (DWORD block = first;; ++block) {
    if (block >= limit) {
      return false;
    }
    total += regions.SizeOf(block);
    if (total >= bytes) {
      *last = block;
      return true;
    }
  }
}

}  // namespace

int PartitionTable::IsValid(const BYTE* table) {
  if (table == nullptr) {
    return 0;
  }
  return HasMarker(table, kStartMarker, sizeof kStartMarker) &&
                 HasMarker(table + kPartitionEndMarkerOffset, kEndMarker, sizeof kEndMarker)
             ? 1
             : 0;
}

int PartitionTable::Initialise(BYTE* table) {
  if (table == nullptr) {
    return 0;
  }
  std::memcpy(table, kStartMarker, sizeof kStartMarker);
  for (std::size_t i = 0; i < kPartitionEntryCount; ++i) {
    WriteEntry(table, i, PartitionType::Empty, kUnusedName, kPartitionNoBlock, kPartitionNoBlock,
               0);
  }
  std::memcpy(table + kPartitionEndMarkerOffset, kEndMarker, sizeof kEndMarker);
  return 1;
}

int PartitionTable::BuildDefault(BYTE* table, const DWORD regionBlockSizes[2],
                                 const DWORD regionBlockCounts[2]) {
  if (table == nullptr || regionBlockSizes == nullptr || regionBlockCounts == nullptr) {
    return 0;
  }
  std::memset(table, 0, kPartitionTableSize);
  if (!Initialise(table)) {
    return 0;
  }
  const Regions regions{{regionBlockSizes[0], regionBlockSizes[1]},
                        {regionBlockCounts[0], regionBlockCounts[1]}};
  // Counts come from 16-bit CFI fields, so the sum cannot wrap; refuse it anyway if it would.
  const unsigned long long total =
      static_cast<unsigned long long>(regions.counts[0]) + regions.counts[1];
  if (total < kMinimumBlocks || total > 0xFFFFFFFFull) {
    return 0;
  }
  const DWORD blocks = static_cast<DWORD>(total);

  struct SettingsEntry {
    PartitionType type;
    const char* name;
    DWORD fromTop;
  };
  constexpr SettingsEntry kSettings[] = {
      {PartitionType::SerialSettings, "Permanent Settings - Serial", 2},
      {PartitionType::UuidSettings, "Permanent Settings - UUID", 3},
      {PartitionType::MacSettings, "Permanent Settings - MAC", 4},
      {PartitionType::SemiPermanentSettings, "Semi-Permanent Settings", 5},
  };
  for (std::size_t i = 0; i < 4; ++i) {
    const DWORD block = blocks - kSettings[i].fromTop;
    WriteEntry(table, i, kSettings[i].type, kSettings[i].name, block, block, regions.SizeOf(block));
  }

  const DWORD limit = blocks - kFirstReservedFromTop;
  DWORD bootloaderLast = 0;
  if (!WalkUntil(regions, 0, kBootloaderBytes, limit, &bootloaderLast)) {
    return 0;
  }
  const auto spanSize = [&](DWORD first, DWORD last) {
    return regions.RegionOf(first) == regions.RegionOf(last) ? regions.SizeOf(first) : 0;
  };
  WriteEntry(table, 4, PartitionType::Bootloader, "Bootloader", 0, bootloaderLast,
             spanSize(0, bootloaderLast));

  DWORD bitmapLast = 0;
  if (!WalkUntil(regions, bootloaderLast + 1, kBitmapBytes, limit, &bitmapLast)) {
    return 0;
  }
  WriteEntry(table, 5, PartitionType::Bitmap, "Bitmap", bootloaderLast + 1, bitmapLast,
             spanSize(bootloaderLast + 1, bitmapLast));
  return 1;
}

INT PartitionTable::FirstBlockOfType(DWORD type, const BYTE* table) {
  if (table == nullptr) {
    return -1;
  }
  for (std::size_t i = 0; i < kPartitionEntryCount; ++i) {
    const BYTE* entry = Entry(table, i);
    if (LoadLittleEndian32(entry + kPartitionTypeOffset) == type) {
      return static_cast<INT>(LoadLittleEndian32(entry + kPartitionFirstBlockOffset));
    }
  }
  return -1;
}

INT PartitionTable::LastBlockOfType(DWORD type, const BYTE* table) {
  if (table == nullptr) {
    return -1;
  }
  for (std::size_t i = 0; i < kPartitionEntryCount; ++i) {
    const BYTE* entry = Entry(table, i);
    if (LoadLittleEndian32(entry + kPartitionTypeOffset) == type) {
      return static_cast<INT>(LoadLittleEndian32(entry + kPartitionLastBlockOffset));
    }
  }
  return -1;
}
