#include "settings/settings_block.h"

#include <cstring>

#include "flash/nor_flash.h"
#include "flash/nor_flash_mutex.h"

namespace {

constexpr DWORD kLengthOffset = 8;
constexpr DWORD kTrailerMagicOffset = kSettingsTrailerCodesSize;

DWORD ReadField(const BYTE* bytes) {
  return static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
         static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
}

void WriteField(BYTE* bytes, DWORD value) {
  for (unsigned i = 0; i < 4; ++i) bytes[i] = static_cast<BYTE>(value >> (8 * i));
}

// The block's bytes as mapped; the driver leaves the device in read-array mode.
const BYTE* BlockBytes(DWORD block) {
  return reinterpret_cast<const BYTE*>(
      const_cast<const void*>(static_cast<const volatile void*>(NorFlash::BlockAddress(block))));
}

// Read under the flash mutex; `buffer` is already all 0xFF.
bool ReadLocked(DWORD block, BYTE* buffer, DWORD capacity) {
  // Never read past the block: a partition table may name a block that is too small or does
  // not exist (size 0).
  const DWORD blockSize = NorFlash::BlockSize(block);
  if (blockSize < kSettingsHeaderSize) return false;
  const BYTE* flash = BlockBytes(block);

  BYTE header[kSettingsHeaderSize];
  std::memcpy(header, flash, sizeof header);
  BYTE computed[kEccCodeSize];
  EccCode::Compute(header, kSettingsHeaderFieldsSize, computed);
  if (EccCode::Correct(header, kSettingsHeaderFieldsSize, header + kSettingsHeaderFieldsSize,
                       computed) == EccCode::kUncorrectable) {
    return false;
  }
  if (ReadField(header) != kSettingsBlockMagic || ReadField(header + 4) != kSettingsBlockVersion) {
    return false;
  }
  const DWORD length = ReadField(header + kLengthOffset);
  if (length > capacity || length > kSettingsPayloadCapacity ||
      blockSize < kSettingsBlockOverhead || length > blockSize - kSettingsBlockOverhead) {
    return false;
  }

  std::memcpy(buffer, flash + kSettingsHeaderSize, length);
  BYTE trailer[kSettingsTrailerSize];
  std::memcpy(trailer, flash + kSettingsHeaderSize + length, sizeof trailer);
  if (ReadField(trailer + kTrailerMagicOffset) != kSettingsTrailerMagic) return false;

  for (DWORD start = 0, slot = 0; start < length; start += kSettingsChunkSize, ++slot) {
    const DWORD chunk = length - start < kSettingsChunkSize ? length - start : kSettingsChunkSize;
    EccCode::Compute(buffer + start, chunk, computed);
    if (EccCode::Correct(buffer + start, chunk, trailer + slot * kEccCodeSize, computed) ==
        EccCode::kUncorrectable) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool SettingsBlock::Read(DWORD block, BYTE* buffer, DWORD capacity) {
  if (buffer == nullptr || capacity == 0) return false;
  std::memset(buffer, 0xFF, capacity);
  NorFlashMutex::Acquire();
  const bool result = ReadLocked(block, buffer, capacity);
  NorFlashMutex::Release();
  return result;
}

bool SettingsBlock::Write(DWORD block, const BYTE* payload, DWORD length) {
  if (payload == nullptr || length > kSettingsPayloadCapacity) return false;

  BYTE header[kSettingsHeaderSize];
  WriteField(header, kSettingsBlockMagic);
  WriteField(header + 4, kSettingsBlockVersion);
  WriteField(header + kLengthOffset, length);
  EccCode::Compute(header, kSettingsHeaderFieldsSize, header + kSettingsHeaderFieldsSize);

  // Slots of chunks that do not exist stay 0xFF, as erased flash would be.
  BYTE trailer[kSettingsTrailerSize];
  std::memset(trailer, 0xFF, sizeof trailer);
  for (DWORD start = 0, slot = 0; start < length; start += kSettingsChunkSize, ++slot) {
    const DWORD chunk = length - start < kSettingsChunkSize ? length - start : kSettingsChunkSize;
    EccCode::Compute(payload + start, chunk, trailer + slot * kEccCodeSize);
  }
  WriteField(trailer + kTrailerMagicOffset, kSettingsTrailerMagic);

  NorFlashMutex::Acquire();
  bool result = false;
  // Refuse before erasing anything when the block cannot hold the whole settings block.
  const DWORD blockSize = NorFlash::BlockSize(block);
  if (blockSize >= kSettingsBlockOverhead && length <= blockSize - kSettingsBlockOverhead &&
      NorFlash::EraseBlock(block) != 0 && NorFlash::Program(block, 0, header, sizeof header) != 0 &&
      NorFlash::Program(block, kSettingsHeaderSize, payload, length) != 0) {
    result = NorFlash::Program(block, kSettingsHeaderSize + length, trailer, sizeof trailer) != 0;
  }
  NorFlashMutex::Release();
  return result;
}
