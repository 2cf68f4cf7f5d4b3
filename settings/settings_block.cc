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

SettingsBlockDecoding Stopped(SettingsReadStop stop, DWORD value, DWORD correctedBits) {
  return {SettingsBlockReading::kUnreadable, stop, value, correctedBits};
}

// Whether a block whose trailer magic is missing still proves its payload: the trailer was
// begun, so the payload had been programmed whole, and every chunk equals its code exactly.
// A correction is not accepted here: a slot torn by the cut could pass for one.
bool PayloadProven(const BYTE* buffer, DWORD length, const BYTE* trailer) {
  bool trailerBegun = false;
  for (DWORD i = 0; i < kSettingsTrailerSize; ++i) trailerBegun |= trailer[i] != 0xFF;
  if (!trailerBegun) return false;
  for (DWORD start = 0, slot = 0; start < length; start += kSettingsChunkSize, ++slot) {
    const DWORD chunk = length - start < kSettingsChunkSize ? length - start : kSettingsChunkSize;
    BYTE computed[kEccCodeSize];
    EccCode::Compute(buffer + start, chunk, computed);
    if (std::memcmp(computed, trailer + slot * kEccCodeSize, kEccCodeSize) != 0) return false;
  }
  return true;
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
  if (ReadField(header) != kSettingsBlockMagic) {
    return Stopped(SettingsReadStop::kMagic, ReadField(header), corrected);
  }
  if (ReadField(header + 4) != kSettingsBlockVersion) {
    return Stopped(SettingsReadStop::kVersion, ReadField(header + 4), corrected);
  }
  const DWORD length = ReadField(header + kLengthOffset);
  if (length > capacity || length > kSettingsPayloadCapacity ||
      blockSize < kSettingsBlockOverhead || length > blockSize - kSettingsBlockOverhead) {
    return Stopped(SettingsReadStop::kLength, length, corrected);
  }

  std::memcpy(buffer, flash + kSettingsHeaderSize, length);
  BYTE trailer[kSettingsTrailerSize];
  std::memcpy(trailer, flash + kSettingsHeaderSize + length, sizeof trailer);
  if (ReadField(trailer + kTrailerMagicOffset) != kSettingsTrailerMagic) {
    SettingsBlockDecoding decoding = Stopped(SettingsReadStop::kTrailerMagic, 0, corrected);
    if (PayloadProven(buffer, length, trailer)) {
      decoding.reading = SettingsBlockReading::kPayloadProven;
    }
    return decoding;
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
  return {SettingsBlockReading::kValid, SettingsReadStop::kNone, 0, corrected};
}

SettingsBlockReading SettingsBlock::ReadWithProof(DWORD block, BYTE* buffer, DWORD capacity) {
  if (buffer == nullptr || capacity == 0) return SettingsBlockReading::kUnreadable;
  NorFlashMutex::Acquire();
  const SettingsBlockReading reading =
      Decode(BlockBytes(block), NorFlash::BlockSize(block), buffer, capacity).reading;
  NorFlashMutex::Release();
  return reading;
}

bool SettingsBlock::Read(DWORD block, BYTE* buffer, DWORD capacity) {
  return ReadWithProof(block, buffer, capacity) == SettingsBlockReading::kValid;
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
