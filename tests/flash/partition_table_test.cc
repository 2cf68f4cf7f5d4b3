#include "flash/partition_table.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace {

using Table = std::array<BYTE, kPartitionTableSize>;

DWORD Field(const Table& table, std::size_t entry, std::size_t field) {
  const BYTE* at = table.data() + kPartitionEntriesOffset + kPartitionEntrySize * entry + field;
  return at[0] | at[1] << 8 | at[2] << 16 | static_cast<DWORD>(at[3]) << 24;
}

std::string Name(const Table& table, std::size_t entry) {
  const char* at = reinterpret_cast<const char*>(table.data()) + kPartitionEntriesOffset +
                   kPartitionEntrySize * entry + kPartitionNameOffset;
  return std::string(at, strnlen(at, kPartitionNameSize));
}

struct Expected {
  std::size_t entry;
  PartitionType type;
  const char* name;
  DWORD first;
  DWORD last;
  DWORD blockSize;
};

struct Layout {
  const char* name;
  DWORD sizes[2];
  DWORD counts[2];
  std::array<Expected, 6> entries;
};

void ExpectEntry(const Table& table, const Expected& expected) {
  SCOPED_TRACE(expected.name);
  EXPECT_EQ(Field(table, expected.entry, kPartitionTypeOffset), static_cast<DWORD>(expected.type));
  EXPECT_EQ(Name(table, expected.entry), expected.name);
  EXPECT_EQ(Field(table, expected.entry, kPartitionFirstBlockOffset), expected.first);
  EXPECT_EQ(Field(table, expected.entry, kPartitionLastBlockOffset), expected.last);
  EXPECT_EQ(Field(table, expected.entry, kPartitionBlockSizeOffset), expected.blockSize);
}

void ExpectEmptyEntriesFrom(const Table& table, std::size_t first) {
  for (std::size_t i = first; i < kPartitionEntryCount; ++i) {
    ExpectEntry(table,
                {i, PartitionType::Empty, "Unused", kPartitionNoBlock, kPartitionNoBlock, 0});
  }
}

// Every byte the layout does not define is zero: after each name's NUL, the six bytes after
// the start marker and the five after the end marker.
void ExpectZeroFields(const Table& table) {
  for (std::size_t i = 10; i < 16; ++i) EXPECT_EQ(table[i], 0) << "byte " << i;
  for (std::size_t i = 795; i < 800; ++i) EXPECT_EQ(table[i], 0) << "byte " << i;
  for (std::size_t entry = 0; entry < kPartitionEntryCount; ++entry) {
    const BYTE* name =
        table.data() + kPartitionEntriesOffset + kPartitionEntrySize * entry + kPartitionNameOffset;
    const std::size_t length = strnlen(reinterpret_cast<const char*>(name), kPartitionNameSize);
    ASSERT_LT(length, kPartitionNameSize);
    for (std::size_t i = length; i < kPartitionNameSize; ++i)
      EXPECT_EQ(name[i], 0) << "entry " << entry << " name byte " << i;
  }
}

const Layout kLayouts[] = {
    {"one region of 64 x 32 KiB",
     {0x8000, 0},
     {64, 0},
     {{{0, PartitionType::SerialSettings, "Permanent Settings - Serial", 62, 62, 0x8000},
       {1, PartitionType::UuidSettings, "Permanent Settings - UUID", 61, 61, 0x8000},
       {2, PartitionType::MacSettings, "Permanent Settings - MAC", 60, 60, 0x8000},
       {3, PartitionType::SemiPermanentSettings, "Semi-Permanent Settings", 59, 59, 0x8000},
       {4, PartitionType::Bootloader, "Bootloader", 0, 31, 0x8000},
       {5, PartitionType::Bitmap, "Bitmap", 32, 55, 0x8000}}}},
    {"8 x 8 KiB then 62 x 32 KiB",
     {0x2000, 0x8000},
     {8, 62},
     {{{0, PartitionType::SerialSettings, "Permanent Settings - Serial", 68, 68, 0x8000},
       {1, PartitionType::UuidSettings, "Permanent Settings - UUID", 67, 67, 0x8000},
       {2, PartitionType::MacSettings, "Permanent Settings - MAC", 66, 66, 0x8000},
       {3, PartitionType::SemiPermanentSettings, "Semi-Permanent Settings", 65, 65, 0x8000},
       // The bootloader spans both regions, so it has no single block size.
       {4, PartitionType::Bootloader, "Bootloader", 0, 37, 0},
       {5, PartitionType::Bitmap, "Bitmap", 38, 61, 0x8000}}}},
    {"one region of 20 x 128 KiB",
     {0x20000, 0},
     {20, 0},
     {{{0, PartitionType::SerialSettings, "Permanent Settings - Serial", 18, 18, 0x20000},
       {1, PartitionType::UuidSettings, "Permanent Settings - UUID", 17, 17, 0x20000},
       {2, PartitionType::MacSettings, "Permanent Settings - MAC", 16, 16, 0x20000},
       {3, PartitionType::SemiPermanentSettings, "Semi-Permanent Settings", 15, 15, 0x20000},
       {4, PartitionType::Bootloader, "Bootloader", 0, 7, 0x20000},
       {5, PartitionType::Bitmap, "Bitmap", 8, 13, 0x20000}}}},
    // 0x100000 - 3 x 0x40000 = 0x40000: the bootloader total lands exactly on 1 MiB at block 3
    // (4 x 0x40000), and the bitmap's exactly on 0xC0000 at block 6 (3 x 0x40000).
    {"exact totals, one region of 12 x 256 KiB",
     {0x40000, 0},
     {12, 0},
     {{{0, PartitionType::SerialSettings, "Permanent Settings - Serial", 10, 10, 0x40000},
       {1, PartitionType::UuidSettings, "Permanent Settings - UUID", 9, 9, 0x40000},
       {2, PartitionType::MacSettings, "Permanent Settings - MAC", 8, 8, 0x40000},
       {3, PartitionType::SemiPermanentSettings, "Semi-Permanent Settings", 7, 7, 0x40000},
       {4, PartitionType::Bootloader, "Bootloader", 0, 3, 0x40000},
       {5, PartitionType::Bitmap, "Bitmap", 4, 6, 0x40000}}}},
    // Region 0 of 0xF0000 + one 0x10000 block: exactly 1 MiB at block 15, across the regions;
    // the bitmap then takes 0xC0000 / 0x10000 = 12 blocks, landing exactly on 0xC0000.
    {"exact totals across regions",
     {0x10000, 0x10000},
     {15, 20},
     {{{0, PartitionType::SerialSettings, "Permanent Settings - Serial", 33, 33, 0x10000},
       {1, PartitionType::UuidSettings, "Permanent Settings - UUID", 32, 32, 0x10000},
       {2, PartitionType::MacSettings, "Permanent Settings - MAC", 31, 31, 0x10000},
       {3, PartitionType::SemiPermanentSettings, "Semi-Permanent Settings", 30, 30, 0x10000},
       {4, PartitionType::Bootloader, "Bootloader", 0, 15, 0},
       {5, PartitionType::Bitmap, "Bitmap", 16, 27, 0x10000}}}},
};

TEST(PartitionTableDefault, BuildsEachGeometrysLayout) {
  for (const Layout& layout : kLayouts) {
    SCOPED_TRACE(layout.name);
    Table table;
    table.fill(0xA5);  // the builder must not leave old bytes behind
    ASSERT_EQ(PartitionTable::BuildDefault(table.data(), layout.sizes, layout.counts), 1);
    EXPECT_EQ(PartitionTable::IsValid(table.data()), 1);
    for (const Expected& entry : layout.entries) ExpectEntry(table, entry);
    ExpectEmptyEntriesFrom(table, 6);
    ExpectZeroFields(table);
    EXPECT_EQ(std::memcmp(table.data(), "<MAGIC_2>", 10), 0);
    EXPECT_EQ(std::memcmp(table.data() + 784, "</MAGIC_2>", 11), 0);
  }
}

TEST(PartitionTableDefault, RefusesFlashesTooSmallForTheLayout) {
  struct Refusal {
    const char* name;
    DWORD sizes[2];
    DWORD counts[2];
  };
  const Refusal refusals[] = {
      // The bitmap would need block 34 = T - 5.
      {"8 x 8 KiB then 31 x 64 KiB (T = 39)", {0x2000, 0x10000}, {8, 31}},
      // The bootloader walk reaches block 5 = T - 5 before 1 MiB.
      {"10 x 128 KiB", {0x20000, 0}, {10, 0}},
      {"9 blocks, refused at once", {0x100000, 0}, {9, 0}},
      {"no blocks", {0x8000, 0x8000}, {0, 0}},
      {"blocks of size 0", {0, 0}, {64, 0}},
  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.name);
    Table table{};
    EXPECT_EQ(PartitionTable::BuildDefault(table.data(), refusal.sizes, refusal.counts), 0);
  }
}

TEST(PartitionTableDefault, TenBlocksLargeEnoughAreAccepted) {
  // T = 10: the settings take 5..8, so bootloader and bitmap must fit blocks 0..4.
  const DWORD sizes[2] = {0x100000, 0};
  const DWORD counts[2] = {10, 0};
  Table table{};
  ASSERT_EQ(PartitionTable::BuildDefault(table.data(), sizes, counts), 1);
  EXPECT_EQ(
      PartitionTable::FirstBlockOfType(static_cast<DWORD>(PartitionType::Bootloader), table.data()),
      0);
  EXPECT_EQ(
      PartitionTable::LastBlockOfType(static_cast<DWORD>(PartitionType::Bootloader), table.data()),
      0);
  EXPECT_EQ(
      PartitionTable::FirstBlockOfType(static_cast<DWORD>(PartitionType::Bitmap), table.data()), 1);
  EXPECT_EQ(
      PartitionTable::LastBlockOfType(static_cast<DWORD>(PartitionType::Bitmap), table.data()), 1);
}

TEST(PartitionTableDefault, NullArgumentsAreRefused) {
  const DWORD sizes[2] = {0x8000, 0};
  const DWORD counts[2] = {64, 0};
  Table table{};
  EXPECT_EQ(PartitionTable::BuildDefault(nullptr, sizes, counts), 0);
  EXPECT_EQ(PartitionTable::BuildDefault(table.data(), nullptr, counts), 0);
  EXPECT_EQ(PartitionTable::BuildDefault(table.data(), sizes, nullptr), 0);
}

TEST(PartitionTableValidity, NeedsBothMarkersWithTheirNul) {
  Table table{};
  ASSERT_EQ(PartitionTable::Initialise(table.data()), 1);
  EXPECT_EQ(PartitionTable::IsValid(table.data()), 1);

  Table noStartNul = table;
  noStartNul[9] = '!';
  EXPECT_EQ(PartitionTable::IsValid(noStartNul.data()), 0);

  Table noEndNul = table;
  noEndNul[794] = 'X';
  EXPECT_EQ(PartitionTable::IsValid(noEndNul.data()), 0);

  Table brokenStart = table;
  brokenStart[3] = 'm';
  EXPECT_EQ(PartitionTable::IsValid(brokenStart.data()), 0);

  Table brokenEnd = table;
  brokenEnd[785] = '\\';
  EXPECT_EQ(PartitionTable::IsValid(brokenEnd.data()), 0);

  Table erased;
  erased.fill(0xFF);
  EXPECT_EQ(PartitionTable::IsValid(erased.data()), 0);
  EXPECT_EQ(PartitionTable::IsValid(nullptr), 0);
}

TEST(PartitionTableValidity, ArbitraryEntriesBetweenIntactMarkersAreValid) {
  Table table;
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = static_cast<BYTE>(i * 37 + 11);
  std::memcpy(table.data(), "<MAGIC_2>", 10);
  std::memcpy(table.data() + 784, "</MAGIC_2>", 11);
  EXPECT_EQ(PartitionTable::IsValid(table.data()), 1);
}

TEST(PartitionTableInitialise, WritesMarkersAndEmptyEntriesOnly) {
  Table table;
  table.fill(0x5A);
  ASSERT_EQ(PartitionTable::Initialise(table.data()), 1);
  ExpectEmptyEntriesFrom(table, 0);
  // Bytes outside markers and entry fields keep their contents.
  EXPECT_EQ(table[10], 0x5A);
  EXPECT_EQ(table[799], 0x5A);
  EXPECT_EQ(PartitionTable::Initialise(nullptr), 0);
}

TEST(PartitionTableLookup, ReportsTheFirstEntryOfAType) {
  const DWORD sizes[2] = {0x8000, 0};
  const DWORD counts[2] = {64, 0};
  Table table{};
  ASSERT_EQ(PartitionTable::BuildDefault(table.data(), sizes, counts), 1);
  // Make entry 7 a second MAC partition; entry 2 still wins.
  BYTE* entry7 = table.data() + kPartitionEntriesOffset + kPartitionEntrySize * 7;
  const DWORD mac = static_cast<DWORD>(PartitionType::MacSettings);
  std::memcpy(entry7 + kPartitionTypeOffset, &mac, 4);
  const DWORD other = 3;
  std::memcpy(entry7 + kPartitionFirstBlockOffset, &other, 4);
  std::memcpy(entry7 + kPartitionLastBlockOffset, &other, 4);

  EXPECT_EQ(PartitionTable::FirstBlockOfType(mac, table.data()), 60);
  EXPECT_EQ(PartitionTable::LastBlockOfType(mac, table.data()), 60);
  EXPECT_EQ(
      PartitionTable::FirstBlockOfType(static_cast<DWORD>(PartitionType::Bitmap), table.data()),
      32);
  EXPECT_EQ(
      PartitionTable::LastBlockOfType(static_cast<DWORD>(PartitionType::Bitmap), table.data()), 55);
}

TEST(PartitionTableLookup, MissingTypesGiveMinusOne) {
  const DWORD sizes[2] = {0x8000, 0};
  const DWORD counts[2] = {64, 0};
  Table table{};
  ASSERT_EQ(PartitionTable::BuildDefault(table.data(), sizes, counts), 1);
  for (DWORD type : {1u, 3u, 5u, 10u, 0x100u | 6u, 0xFFFFFFFFu}) {
    EXPECT_EQ(PartitionTable::FirstBlockOfType(type, table.data()), -1) << type;
    EXPECT_EQ(PartitionTable::LastBlockOfType(type, table.data()), -1) << type;
  }
  // Type 0 finds the first empty entry, whose blocks read as -1.
  EXPECT_EQ(PartitionTable::FirstBlockOfType(0, table.data()), -1);
  EXPECT_EQ(PartitionTable::FirstBlockOfType(6, nullptr), -1);
  EXPECT_EQ(PartitionTable::LastBlockOfType(6, nullptr), -1);
}

}  // namespace
