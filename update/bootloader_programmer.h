// Programming the bootloader image into the NOR boot flash from block 0 on.
#pragma once

#include "platform/dialog_framework.h"
#include "platform/types.h"

// The bytes from block 0 up to, not including, the first block that the image must not reach:
// the first block of any settings partition (types 4, 6, 7 and 8) that the partition table
// names, or the last block (the partition table itself), whichever comes first. The bitmap
// partition is not protected. The flash driver must be open; 0 when it has no blocks.
[[nodiscard]] ULONGLONG BootloaderCapacity();

// True when the `length` bytes at the address of `block` equal `data` (a read through
// NorFlash::BlockAddress; the flash driver must be open). False for a block that does not hold
// `length` bytes.
[[nodiscard]] bool FlashHolds(DWORD block, const BYTE* data, DWORD length);

// Writes the `length` bytes of `image` from the first byte of block 0 over consecutive blocks,
// each block erased first and filled from its start; the progress bar moves to
// written x 100 / length after each block. Once the whole image is written it is read back
// through NorFlash::BlockAddress and compared. Returns `length` when the whole image is in the
// flash and reads back intact; less when an erase or a program failed (programming stops at
// that block; a partial image stays in the flash) or the read-back differs (the bytes before the
// first differing block). An image longer than BootloaderCapacity() is refused before anything is
// erased and gives 0, as does a null image or a length of 0. The flash driver must be open and
// NOR_SYN_OBJ held by the caller.
[[nodiscard]] DWORD ProgramBootloader(const BYTE* image, DWORD length, HWND progressBar);
