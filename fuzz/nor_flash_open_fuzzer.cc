// NorFlash::Open over a fuzzed identifier, CFI table and last block, then a fuzzed run of
// erases and programs checked against a model of the array, on the in-memory chip.
//
// Input: a flags byte, a manufacturer word, the query table (57 raw bytes, or one built from
// fuzzed region counts, sizes and exponents), 800 bytes for the start of the last block, then
// operations. Checked: Open succeeds exactly for manufacturer 0x0089, Q R Y, one or two regions
// and a geometry inside the window whose stored table is valid or whose default table fits;
// geometry and time limits are those of the table; a valid stored table leaves the array as it
// was, an invalid one is replaced by a valid table in the last block and nothing else changes;
// a failed open leaves nothing mapped and the count at 0. After a successful open every
// Program and EraseBlock result and array change is the model's (programming ANDs the source
// into the array), the chip always ends in read-array mode, and the final close unmaps both
// windows. The in-memory chip aborts on any register access outside a mapped window.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "flash/nor_flash.h"
#include "flash/partition_table.h"
#include "fuzz/fuzz_input.h"
#include "platform/physical_memory.h"
#include "testsupport/memory_device.h"

namespace {

struct ExpectedGeometry {
  bool usable = false;
  DWORD counts[2] = {0, 0};
  DWORD sizes[2] = {0, 0};
  std::uint64_t end = 0;
};

ExpectedGeometry ParseQuery(const memory_device::QueryTable& q) {
  ExpectedGeometry g;
  if (q[0x10] != 'Q' || q[0x11] != 'R' || q[0x12] != 'Y') return g;
  const unsigned regions = q[0x2C];
  if (regions != 1 && regions != 2) return g;
  for (unsigned r = 0; r < regions; ++r) {
    const unsigned base = 0x2D + 4 * r;
    g.counts[r] = q[base] + 256u * q[base + 1] + 1;
    g.sizes[r] = (q[base + 2] + 256u * q[base + 3]) * 256u;
    if (q[0x27] >= 23) g.sizes[r] *= 2;
  }
  g.end = std::uint64_t{g.counts[0]} * g.sizes[0] + std::uint64_t{g.counts[1]} * g.sizes[1];
  const std::uint64_t lastOffset = g.end - (g.counts[1] ? g.sizes[1] : g.sizes[0]);
  g.usable = g.end <= kFlashWindowSize && lastOffset + kPartitionTableSize <= kFlashWindowSize;
  return g;
}

std::uint64_t OffsetOf(const ExpectedGeometry& g, std::uint64_t block) {
  if (block <= g.counts[0]) return block * g.sizes[0];
  return std::uint64_t{g.counts[0]} * g.sizes[0] + (block - g.counts[0]) * g.sizes[1];
}

DWORD SizeOf(const ExpectedGeometry& g, std::uint64_t block) {
  if (block < g.counts[0]) return g.sizes[0];
  if (block - g.counts[0] < g.counts[1]) return g.sizes[1];
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  const BYTE flags = input.Take<BYTE>();
  memory_device::ChipConfig config;
  const WORD manufacturer = input.Take<WORD>();
  config.manufacturer = (flags & 0x01) ? manufacturer : kFlashManufacturerIntel;
  config.refuseTimerWindow = (flags & 0x06) == 0x06;
  config.refuseFlashWindow = (flags & 0x0A) == 0x0A;
  if (flags & 0x10) {
    const auto raw = input.TakeBytes(config.query.size());
    config.query.fill(0);
    std::copy(raw.begin(), raw.end(), config.query.begin());
  } else {
    const DWORD count0 = input.Take<BYTE>() % 80 + 1;
    const DWORD size0 = (input.Take<BYTE>() % 0x81) * 256;
    const DWORD count1 = (flags & 0x20) ? input.Take<BYTE>() % 80 + 1 : 0;
    const DWORD size1 = (flags & 0x20) ? (input.Take<BYTE>() % 0x81) * 256 : 0;
    const BYTE exponents = input.Take<BYTE>();
    config.query = memory_device::MakeQueryTable({count0, size0}, {count1, size1}, exponents & 3,
                                                 4 + (exponents >> 2 & 3), 1, 1);
    if (flags & 0x40) config.query[0x27] = 23;  // a large device: block sizes are doubled
  }
  memory_device::Reset(config);
  const ExpectedGeometry g = ParseQuery(config.query);

  // The start of the last block, as the chip sees it.
  std::vector<BYTE> stored(kPartitionTableSize, 0xFF);
  const auto tableBytes = input.TakeBytes(kPartitionTableSize);
  std::copy(tableBytes.begin(), tableBytes.end(), stored.begin());
  if (flags & 0x80) std::memcpy(stored.data(), "<MAGIC_2>", 10);
  BYTE* array = memory_device::Array();
  const std::uint64_t total = std::uint64_t{g.counts[0]} + g.counts[1];
  const std::uint64_t tableOffset = total ? OffsetOf(g, total - 1) : 0;
  if (g.usable) std::memcpy(array + tableOffset, stored.data(), kPartitionTableSize);
  // Kept between inputs: a fresh 2 MiB allocation per input costs more than the test itself.
  static std::vector<BYTE> before;
  static std::vector<BYTE> model;
  before.assign(array, array + memory_device::ArraySize());

  const int opened = NorFlash::Open();
  FUZZ_REQUIRE(opened == 0 || opened == 1);
  FUZZ_REQUIRE(memory_device::InReadArrayMode() || !memory_device::AnyWindowMapped());
  const bool identified = !config.refuseTimerWindow && !config.refuseFlashWindow &&
                          config.manufacturer == kFlashManufacturerIntel && g.usable;
  if (!identified) FUZZ_REQUIRE(opened == 0);
  // A valid stored table is used as it is: nothing can fail after identification.
  if (identified && PartitionTable::IsValid(stored.data())) FUZZ_REQUIRE(opened == 1);
  if (opened == 0) {
    FUZZ_REQUIRE(NorFlash::OpenCount() == 0 && !memory_device::AnyWindowMapped());
    // Only the table block can have been touched, by a rebuild that failed half way.
    const std::size_t tableEnd = identified ? tableOffset + SizeOf(g, total - 1) : 0;
    FUZZ_REQUIRE(
        std::memcmp(array + tableEnd, before.data() + tableEnd, before.size() - tableEnd) == 0);
    if (identified) FUZZ_REQUIRE(std::memcmp(array, before.data(), tableOffset) == 0);
    FUZZ_REQUIRE(NorFlash::BlockSize(0) == 0 && NorFlash::BlockAddress(0) == nullptr);
    return 0;
  }

  const FlashGeometry& geometry = NorFlash::Geometry();
  for (int r = 0; r < 2; ++r) {
    FUZZ_REQUIRE(geometry.regionBlockCount[r] == g.counts[r]);
    FUZZ_REQUIRE(geometry.regionBlockSize[r] == g.sizes[r]);
  }
  FUZZ_REQUIRE(geometry.totalBlockCount == total);
  FUZZ_REQUIRE(geometry.wordProgramTimeoutUs ==
                   static_cast<DWORD>((std::uint64_t{1} << (config.query[0x1F] & 31)) *
                                      (std::uint64_t{1} << (config.query[0x23] & 31))) ||
               config.query[0x1F] >= 32 || config.query[0x23] >= 32);
  FUZZ_REQUIRE(geometry.lockTimeoutUs == kFlashLockTimeoutUs);

  const bool storedValid = PartitionTable::IsValid(stored.data()) == 1;
  if (storedValid) {
    FUZZ_REQUIRE(std::memcmp(array, before.data(), before.size()) == 0);
  } else {
    FUZZ_REQUIRE(PartitionTable::IsValid(array + tableOffset) == 1);
    FUZZ_REQUIRE(std::memcmp(array, before.data(), tableOffset) == 0);
  }
  for (DWORD type : {0u, 2u, 4u, 6u, 7u, 8u, 9u}) {
    FUZZ_REQUIRE(NorFlash::FirstBlockOfType(type) ==
                 PartitionTable::FirstBlockOfType(type, array + tableOffset));
    FUZZ_REQUIRE(NorFlash::LastBlockOfType(type) ==
                 PartitionTable::LastBlockOfType(type, array + tableOffset));
  }

  // Erases and programs, against the model. A block size of 0 makes the chip's block list and
  // the driver's numbering part ways, so the model only follows geometries without one.
  const bool modelled = g.sizes[0] != 0 && (g.counts[1] == 0 || g.sizes[1] != 0);
  model.assign(array, array + memory_device::ArraySize());
  for (int operation = 0; operation < 16 && !input.Empty(); ++operation) {
    const BYTE kind = input.Take<BYTE>();
    const DWORD block = input.Take<std::uint16_t>() % (total + 2);
    if (kind % 4 == 0) {
      const int erased = NorFlash::EraseBlock(block);
      if (modelled || block >= total) FUZZ_REQUIRE(erased == (block < total ? 1 : 0));
      if (erased && modelled) {
        const auto offset = OffsetOf(g, block);
        std::fill(model.begin() + offset, model.begin() + offset + SizeOf(g, block), 0xFF);
      }
    } else {
      const DWORD blockSize = SizeOf(g, block);
      DWORD offset = input.Take<std::uint16_t>();
      if (kind & 0x10) offset = blockSize - (offset % 64);
      const DWORD length = input.Take<std::uint16_t>() % 2500;
      const bool oddSource = kind & 0x20;
      std::vector<BYTE> storage(length + 1);
      const auto pattern = input.TakeBytes(length);
      for (DWORD i = 0; i < length; ++i)
        storage[i + oddSource] = pattern.empty() ? 0 : pattern[i % pattern.size()];
      const BYTE* source = (kind & 0x40) && length == 0 ? nullptr : storage.data() + oddSource;
      const bool fits =
          block < total && source != nullptr && std::uint64_t{offset} + length <= blockSize;
      const int programmed = NorFlash::Program(block, offset, source, length);
      FUZZ_REQUIRE(programmed == (fits ? 1 : 0));
      if (fits && modelled) {
        const auto at = OffsetOf(g, block) + offset;
        for (DWORD i = 0; i < length; ++i) model[at + i] &= source[i];
      }
    }
    FUZZ_REQUIRE(memory_device::InReadArrayMode());
    // The block worked on here; the whole array is compared once at the end.
    if (modelled && block < total) {
      const auto offset = OffsetOf(g, block);
      FUZZ_REQUIRE(std::memcmp(array + offset, model.data() + offset, SizeOf(g, block)) == 0);
    }
  }
  if (modelled) FUZZ_REQUIRE(std::memcmp(array, model.data(), model.size()) == 0);

  FUZZ_REQUIRE(NorFlash::Open() == 1 && NorFlash::OpenCount() == 2);
  NorFlash::Close();
  FUZZ_REQUIRE(memory_device::AnyWindowMapped());
  NorFlash::Close();
  FUZZ_REQUIRE(NorFlash::OpenCount() == 0 && !memory_device::AnyWindowMapped());
  return 0;
}
