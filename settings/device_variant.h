// The device variant: which of the three hardware variants this handheld is, derived from the
// part number in the settings store. It chooses the variant's package directory and key.
#pragma once

#include "platform/types.h"

// 1, 2 or 3; 0 when the part number is not recognised.
using DeviceVariant = INT;
inline constexpr DeviceVariant kUnknownDeviceVariant = 0;

// Entry i: a variant number and its part numbers (UTF-16, the list ended by a null entry).
// The table ends with the entry of variant -2, which has no list.
struct VariantTableEntry {
  DeviceVariant variant;
  const LPCWSTR* partNumbers;
};
extern const VariantTableEntry VariantTable[4];

// The variant of a zero-terminated part number, by walking VariantTable in order; 0 when no
// entry lists it (also for "Unprogrammed" and for null).
[[nodiscard]] DeviceVariant VariantOfPartNumber(LPCWSTR partNumber);

// Runs one settings-store cycle (open, lock, load, read the part number into a zeroed
// 21-character buffer, unlock, close) and returns the variant of what it read. A flash that
// does not open, a partition table without the four settings partitions, a Semi-Permanent
// Settings block that did not read (SettingsStore::LoadedFromFlash), or a part number that is
// missing, too long or unknown gives 0.
[[nodiscard]] DeviceVariant GetDeviceVariant();
