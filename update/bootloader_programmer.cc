#include "update/bootloader_programmer.h"

#include <cstring>

#include "flash/nor_flash.h"
#include "settings/settings_store.h"
#include "update/progress_bar.h"

ULONGLONG BootloaderCapacity() {
  DWORD totalBlocks = 0;
  while (NorFlash::BlockSize(totalBlocks) != 0) {
    ++totalBlocks;
  }
  if (totalBlocks == 0) {
    return 0;
  }
  // The last block holds the partition table; a settings partition may lie anywhere below it.
  DWORD limit = totalBlocks - 1;
  for (DWORD type : kSettingsPartitionTypes) {
    const INT first = NorFlash::FirstBlockOfType(type);
    if (first >= 0 && static_cast<DWORD>(first) < limit) {
      limit = static_cast<DWORD>(first);
    }
  }
  ULONGLONG capacity = 0;
  for (DWORD block = 0; block < limit; ++block) {
    capacity += NorFlash::BlockSize(block);
  }
  return capacity;
}

bool FlashHolds(DWORD block, const BYTE* data, DWORD length) {
  if (data == nullptr || length > NorFlash::BlockSize(block)) {
    return false;
  }
  // The array is read with a plain memory copy: the driver leaves the chip in read-array mode.
  const void* flash = const_cast<const WORD*>(NorFlash::BlockAddress(block));
  return flash != nullptr && std::memcmp(flash, data, length) == 0;
}

namespace {

// The bytes from the start of the image that the flash holds intact, counted in whole blocks.
// A flash that reported success but holds other bytes must not let the update request through:
// the next start would run a corrupt bootloader.
DWORD ReadBack(const BYTE* image, DWORD length) {
  DWORD checked = 0;
  for (DWORD block = 0; checked < length; ++block) {
    const DWORD blockSize = NorFlash::BlockSize(block);
    const DWORD pieceLength = blockSize < length - checked ? blockSize : length - checked;
    if (pieceLength == 0 || !FlashHolds(block, image + checked, pieceLength)) {
      break;
    }
    checked += pieceLength;
  }
  return checked;
}

}  // namespace

DWORD ProgramBootloader(const BYTE* image, DWORD length, HWND progressBar) {
  if (image == nullptr || length == 0 || length > BootloaderCapacity()) {
    return 0;
  }
  const BYTE* source = image;
  DWORD remaining = length;
  DWORD written = 0;
  DWORD block = 0;
  if (NorFlash::BlockSize(block) == 0) {
    return 0;
  }
  for (;;) {
    const DWORD blockSize = NorFlash::BlockSize(block);
    const DWORD pieceLength = blockSize < remaining ? blockSize : remaining;
    if (pieceLength == 0) {
      break;
    }
    if (!NorFlash::EraseBlock(block)) {
      break;
    }
    if (!NorFlash::Program(block, 0, source, pieceLength)) {
      break;
    }
    written += pieceLength;
    source += pieceLength;
    remaining -= pieceLength;
    ++block;
    SetProgressPosition(progressBar,
                        static_cast<DWORD>(static_cast<ULONGLONG>(written) * 100 / length));
    if (NorFlash::BlockSize(block) == 0) {
      break;
    }
  }
  return written == length ? ReadBack(image, length) : written;
}
