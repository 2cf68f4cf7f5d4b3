// PartitionTable over arbitrary tables and geometries, against a plain model of the format.
//
// Input: 2 region sizes and 2 region counts (u32 each), a partition type to look up, then up to
// 800 table bytes (missing bytes are zero). Checked: validity and both lookups agree with a
// byte-by-byte reading of the format; BuildDefault accepts exactly the geometries the model
// accepts, and a built table is valid, names the settings partitions below the table block,
// the bootloader from block 0 and the bitmap after it, with zeroed padding.
#include <array>
#include <cstdint>
#include <cstring>

#include "flash/partition_table.h"
#include "fuzz/fuzz_input.h"

namespace {

DWORD Little32(const BYTE* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<DWORD>(bytes[3]) << 24;
}

bool ModelIsValid(const BYTE* table) {
  return std::memcmp(table, "<MAGIC_2>", 10) == 0 &&
         std::memcmp(table + 784, "</MAGIC_2>", 11) == 0;
}

INT ModelLookup(DWORD type, const BYTE* table, std::size_t field) {
  for (std::size_t i = 0; i < 16; ++i) {
    const BYTE* entry = table + 16 + 48 * i;
    if (Little32(entry) == type) return static_cast<INT>(Little32(entry + field));
  }
  return -1;
}

struct ModelLayout {
  bool fits = false;
  std::uint64_t total = 0;
  DWORD bootloaderLast = 0;
  DWORD bitmapLast = 0;
};

ModelLayout ModelBuild(const DWORD sizes[2], const DWORD counts[2]) {
  ModelLayout layout;
  layout.total = std::uint64_t{counts[0]} + counts[1];
  if (layout.total < 10 || layout.total > 0xFFFFFFFFu) return layout;
  const std::uint64_t limit = layout.total - 5;
  auto size = [&](std::uint64_t b) -> std::uint64_t { return b < counts[0] ? sizes[0] : sizes[1]; };
  std::uint64_t b = 0;
  std::uint64_t sum = 0;
  for (;; ++b) {
    if (b >= limit) return layout;
    sum += size(b);
    if (sum >= 0x100000) break;
  }
  layout.bootloaderLast = static_cast<DWORD>(b);
  sum = 0;
  for (++b;; ++b) {
    if (b >= limit) return layout;
    sum += size(b);
    if (sum >= 0xC0000) break;
  }
  layout.bitmapLast = static_cast<DWORD>(b);
  layout.fits = true;
  return layout;
}

void CheckNamePadding(const BYTE* table) {
  for (std::size_t i = 0; i < 16; ++i) {
    const BYTE* name = table + 16 + 48 * i + 4;
    const std::size_t length = strnlen(reinterpret_cast<const char*>(name), 32);
    FUZZ_REQUIRE(length < 32);
    for (std::size_t k = length; k < 32; ++k) FUZZ_REQUIRE(name[k] == 0);
  }
  for (std::size_t k = 10; k < 16; ++k) FUZZ_REQUIRE(table[k] == 0);
  for (std::size_t k = 795; k < 800; ++k) FUZZ_REQUIRE(table[k] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  DWORD sizes[2] = {input.Take<DWORD>(), input.Take<DWORD>()};
  // Region counts come from 16-bit CFI fields plus one; a bit more range than that keeps the
  // walks short enough to fuzz while still reaching past 16 bits.
  DWORD counts[2] = {input.Take<DWORD>() & 0x1FFFF, input.Take<DWORD>() & 0x1FFFF};
  const DWORD lookupType = input.Take<DWORD>();

  std::array<BYTE, kPartitionTableSize> table{};
  const auto bytes = input.TakeBytes(kPartitionTableSize);
  std::memcpy(table.data(), bytes.data(), bytes.size());

  FUZZ_REQUIRE((PartitionTable::IsValid(table.data()) == 1) == ModelIsValid(table.data()));
  for (DWORD type : {0u, 2u, 4u, 6u, 7u, 8u, 9u, lookupType}) {
    FUZZ_REQUIRE(PartitionTable::FirstBlockOfType(type, table.data()) ==
                 ModelLookup(type, table.data(), 36));
    FUZZ_REQUIRE(PartitionTable::LastBlockOfType(type, table.data()) ==
                 ModelLookup(type, table.data(), 40));
  }

  const ModelLayout model = ModelBuild(sizes, counts);
  const int built = PartitionTable::BuildDefault(table.data(), sizes, counts);
  FUZZ_REQUIRE((built == 1) == model.fits);
  if (!model.fits) return 0;

  const auto total = static_cast<DWORD>(model.total);
  FUZZ_REQUIRE(PartitionTable::IsValid(table.data()) == 1);
  CheckNamePadding(table.data());
  const DWORD settingsTypes[4] = {6, 7, 8, 4};
  for (DWORD i = 0; i < 4; ++i) {
    const DWORD block = total - 2 - i;
    FUZZ_REQUIRE(PartitionTable::FirstBlockOfType(settingsTypes[i], table.data()) ==
                 static_cast<INT>(block));
    FUZZ_REQUIRE(PartitionTable::LastBlockOfType(settingsTypes[i], table.data()) ==
                 static_cast<INT>(block));
    const DWORD blockSize = block < counts[0] ? sizes[0] : sizes[1];
    FUZZ_REQUIRE(Little32(table.data() + 16 + 48 * i + 44) == blockSize);
  }
  FUZZ_REQUIRE(PartitionTable::FirstBlockOfType(2, table.data()) == 0);
  FUZZ_REQUIRE(PartitionTable::LastBlockOfType(2, table.data()) ==
               static_cast<INT>(model.bootloaderLast));
  FUZZ_REQUIRE(PartitionTable::FirstBlockOfType(9, table.data()) ==
               static_cast<INT>(model.bootloaderLast + 1));
  FUZZ_REQUIRE(PartitionTable::LastBlockOfType(9, table.data()) ==
               static_cast<INT>(model.bitmapLast));
  FUZZ_REQUIRE(model.bitmapLast < total - 5);
  FUZZ_REQUIRE(PartitionTable::FirstBlockOfType(0, table.data()) == -1);
  for (std::size_t i = 6; i < 16; ++i) {
    const BYTE* entry = table.data() + 16 + 48 * i;
    FUZZ_REQUIRE(Little32(entry) == 0 &&
                 std::strcmp(reinterpret_cast<const char*>(entry + 4), "Unused") == 0);
    FUZZ_REQUIRE(Little32(entry + 36) == 0xFFFFFFFFu && Little32(entry + 40) == 0xFFFFFFFFu &&
                 Little32(entry + 44) == 0);
  }
  return 0;
}
