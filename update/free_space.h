// Whether the storage card has room for the two copies the update makes.
#pragma once

#include "platform/types.h"

// Room kept free beyond the two copies.
inline constexpr ULONGLONG kFreeSpaceMargin = 0x100000;

// True when the card's free bytes available to the caller are strictly greater than the size of
// "\SD Card\seboot.nb0" plus the size of the device variant's "syaffs.bc" plus 1 MiB. A file
// that does not open counts 0; so does the variant image of an unknown variant (the device
// variant is read in its own settings-store cycle). A failed free-space query (no card) reads
// as 0 free bytes and gives false. Existing copies that the update would replace are not
// credited.
[[nodiscard]] bool HasEnoughFreeSpace();

// The whole size of the file at `path` (64-bit), opened for no data access; 0 when it does not
// open.
[[nodiscard]] ULONGLONG CardFileSize(LPCWSTR path);
