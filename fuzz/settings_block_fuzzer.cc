// SettingsBlock::Read over arbitrary block contents, on the in-memory chip.
//
// Input: a block selector, a buffer capacity (0..4400), then the block's first bytes (the rest
// of the block is erased). Checked, against a decoding of the header made here with EccCode:
// a header that does not decode gives false and a buffer of 0xFF; a successful read returns a
// payload that differs from the stored one by at most one bit per 256-byte chunk, with 0xFF
// after it; the flash is never changed by a read; the flash mutex is released; and what a
// successful read returned is written back with Write and reads back identically.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "flash/nor_flash.h"
#include "fuzz/fuzz_input.h"
#include "settings/settings_block.h"
#include "testsupport/memory_device.h"

namespace {

DWORD Little32(const BYTE* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<DWORD>(bytes[3]) << 24;
}

int DifferingBits(const BYTE* a, const BYTE* b, std::size_t n) {
  int bits = 0;
  for (std::size_t i = 0; i < n; ++i) bits += __builtin_popcount(a[i] ^ b[i]);
  return bits;
}

struct DecodedHeader {
  bool usable = false;
  DWORD length = 0;
};

DecodedHeader DecodeHeader(const BYTE* flash, DWORD capacity) {
  BYTE header[kSettingsHeaderSize];
  std::memcpy(header, flash, sizeof header);
  BYTE computed[kEccCodeSize];
  EccCode::Compute(header, kSettingsHeaderFieldsSize, computed);
  DecodedHeader decoded;
  if (EccCode::Correct(header, kSettingsHeaderFieldsSize, header + kSettingsHeaderFieldsSize,
                       computed) == EccCode::kUncorrectable)
    return decoded;
  decoded.length = Little32(header + 8);
  decoded.usable = Little32(header) == kSettingsBlockMagic &&
                   Little32(header + 4) == kSettingsBlockVersion && decoded.length <= capacity &&
                   decoded.length <= kSettingsPayloadCapacity;
  return decoded;
}

bool OpenChip() {
  memory_device::Reset(memory_device::ChipConfig{});
  return NorFlash::Open() == 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool opened = OpenChip();
  FUZZ_REQUIRE(opened);
  fuzz::FuzzInput input(data, size);
  // Any block but the partition table's (the last).
  const DWORD block = input.Take<BYTE>() % (NorFlash::Geometry().totalBlockCount - 1);
  const DWORD capacity = input.Take<std::uint16_t>() % 4401;
  const DWORD blockSize = NorFlash::BlockSize(block);
  FUZZ_REQUIRE(blockSize >= 0x2000);

  // Filled behind the chip's back: the window itself is read-only, as on the device.
  const auto offset = static_cast<std::size_t>(
      reinterpret_cast<const volatile BYTE*>(NorFlash::BlockAddress(block)) -
      reinterpret_cast<const volatile BYTE*>(NorFlash::BlockAddress(0)));
  BYTE* flash = memory_device::Array() + offset;
  std::memset(flash, 0xFF, blockSize);
  const auto contents = input.TakeBytes(blockSize);
  if (!contents.empty()) std::memcpy(flash, contents.data(), contents.size());
  const std::vector<BYTE> before(flash, flash + blockSize);

  // Exactly `capacity` bytes, so that a write past it is reported.
  std::vector<BYTE> buffer(capacity, 0xA5);
  const bool read = SettingsBlock::Read(block, capacity ? buffer.data() : nullptr, capacity);
  FUZZ_REQUIRE(memory_device::HeldMutexCount() == 0);
  FUZZ_REQUIRE(std::memcmp(flash, before.data(), blockSize) == 0);
  if (capacity == 0) {
    FUZZ_REQUIRE(!read);
    return 0;
  }

  const DecodedHeader header = DecodeHeader(before.data(), capacity);
  if (!header.usable) {
    FUZZ_REQUIRE(!read);
    FUZZ_REQUIRE(std::all_of(buffer.begin(), buffer.end(), [](BYTE b) { return b == 0xFF; }));
    return 0;
  }
  const DWORD length = header.length;
  FUZZ_REQUIRE(
      std::all_of(buffer.begin() + length, buffer.end(), [](BYTE b) { return b == 0xFF; }));
  const BYTE* stored = before.data() + kSettingsHeaderSize;
  const bool trailerIntact =
      Little32(stored + length + kSettingsTrailerCodesSize) == kSettingsTrailerMagic;
  if (!trailerIntact) {
    FUZZ_REQUIRE(!read);
    FUZZ_REQUIRE(std::memcmp(buffer.data(), stored, length) == 0);
    return 0;
  }
  for (DWORD start = 0; start < length; start += kSettingsChunkSize) {
    const DWORD chunk = std::min(length - start, kSettingsChunkSize);
    FUZZ_REQUIRE(DifferingBits(buffer.data() + start, stored + start, chunk) <= 1);
  }
  if (!read) return 0;

  // What a read returned survives a write and a second read unchanged.
  const std::vector<BYTE> payload(buffer.begin(), buffer.begin() + length);
  FUZZ_REQUIRE(SettingsBlock::Write(block, payload.data(), length));
  FUZZ_REQUIRE(memory_device::HeldMutexCount() == 0);
  std::vector<BYTE> again(capacity, 0);
  FUZZ_REQUIRE(SettingsBlock::Read(block, again.data(), capacity));
  FUZZ_REQUIRE(std::memcmp(again.data(), payload.data(), length) == 0);
  FUZZ_REQUIRE(std::all_of(again.begin() + length, again.end(), [](BYTE b) { return b == 0xFF; }));
  return 0;
}
