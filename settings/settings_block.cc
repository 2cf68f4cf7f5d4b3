#include "settings/settings_block.h"

#include <cstring>

#include "common/byte_order.h"
#include "flash/nor_flash.h"
#include "flash/nor_flash_mutex.h"

namespace {

constexpr DWORD kLengthOffset = 8;
constexpr DWORD kTrailerMagicOffset = kSettingsTrailerCodesSize;

// The block's bytes as mapped; the driver leaves the device in read-array mode.
const BYTE* BlockBytes(DWORD block) {
  return reinterpret_cast<const BYTE*>(
      const_cast<const void*>(static_cast<const volatile void*>(NorFlash::BlockAddress(block))));
}

SettingsBlockDecoding Stopped(SettingsReadStop stop, DWORD value, DWORD correctedBits) {
  return {stop, value, correctedBits};
}

}  // namespace

SettingsBlockDecoding SettingsBlock::Decode(const BYTE* flash, DWORD blockSize, BYTE* buffer,
                                            DWORD capacity) {
  std::memset(buffer, 0xFF, capacity);
  // Never read past the block: a partition table may name a block that is too small or does
  // not exist (size 0).
  if (blockSize < kSettingsHeaderSize) return Stopped(SettingsReadStop::kBlockTooSmall, 0, 0);

  DWORD corrected = 0;
  BYTE header[kSettingsHeaderSize];
  std::memcpy(header, flash, sizeof header);
  BYTE computed[kEccCodeSize];
  EccCode::Compute(header, kSettingsHeaderFieldsSize, computed);
  const int headerResult = EccCode::Correct(header, kSettingsHeaderFieldsSize,
                                            header + kSettingsHeaderFieldsSize, computed);
  if (headerResult == EccCode::kUncorrectable) {
    return Stopped(SettingsReadStop::kHeaderCode, 0, 0);
  }
  if (headerResult == EccCode::kCorrected) ++corrected;
  if (LoadLittleEndian32(header) != kSettingsBlockMagic) {
    return Stopped(SettingsReadStop::kMagic, LoadLittleEndian32(header), corrected);
  }
  if (LoadLittleEndian32(header + 4) != kSettingsBlockVersion) {
    return Stopped(SettingsReadStop::kVersion, LoadLittleEndian32(header + 4), corrected);
  }
  const DWORD length = LoadLittleEndian32(header + kLengthOffset);
  if (length > capacity || length > kSettingsPayloadCapacity ||
      blockSize < kSettingsBlockOverhead || length > blockSize - kSettingsBlockOverhead) {
    return Stopped(SettingsReadStop::kLength, length, corrected);
  }

  std::memcpy(buffer, flash + kSettingsHeaderSize, length);
  BYTE trailer[kSettingsTrailerSize];
  std::memcpy(trailer, flash + kSettingsHeaderSize + length, sizeof trailer);
  if (LoadLittleEndian32(trailer + kTrailerMagicOffset) != kSettingsTrailerMagic) {
    return Stopped(SettingsReadStop::kTrailerMagic, 0, corrected);
  }

  for (DWORD start = 0, slot = 0; start < length; start += kSettingsChunkSize, ++slot) {
    const DWORD chunk = length - start < kSettingsChunkSize ? length - start : kSettingsChunkSize;
    EccCode::Compute(buffer + start, chunk, computed);
    const int result =
        EccCode::Correct(buffer + start, chunk, trailer + slot * kEccCodeSize, computed);
    if (result == EccCode::kUncorrectable) {
      return Stopped(SettingsReadStop::kChunkCode, slot, corrected);
    }
    if (result == EccCode::kCorrected) ++corrected;
  }
  return {SettingsReadStop::kNone, 0, corrected};
}

bool SettingsBlock::Read(DWORD block, BYTE* buffer, DWORD capacity) {
  if (buffer == nullptr || capacity == 0) return false;
  NorFlashMutex::Acquire();
  const bool read = Decode(BlockBytes(block), NorFlash::BlockSize(block), buffer, capacity).Read();
  NorFlashMutex::Release();
  return read;
}

bool SettingsBlock::Write(DWORD block, const BYTE* payload, DWORD length) {
  if (payload == nullptr || length > kSettingsPayloadCapacity) return false;

  BYTE header[kSettingsHeaderSize];
  StoreLittleEndian32(header, kSettingsBlockMagic);
  StoreLittleEndian32(header + 4, kSettingsBlockVersion);
  StoreLittleEndian32(header + kLengthOffset, length);
  EccCode::Compute(header, kSettingsHeaderFieldsSize, header + kSettingsHeaderFieldsSize);

  // Slots of chunks that do not exist stay 0xFF, as erased flash would be.
  BYTE trailer[kSettingsTrailerSize];
  std::memset(trailer, 0xFF, sizeof trailer);
  for (DWORD start = 0, slot = 0; start < length; start += kSettingsChunkSize, ++slot) {
    const DWORD chunk = length - start < kSettingsChunkSize ? length - start : kSettingsChunkSize;
    EccCode::Compute(payload + start, chunk, trailer + slot * kEccCodeSize);
  }
  StoreLittleEndian32(trailer + kTrailerMagicOffset, kSettingsTrailerMagic);

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
