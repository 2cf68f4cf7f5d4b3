// The four public keys built into the updater.
//
// Entry 0 is the common key (sdisk.bc and the bootloader image); entries 1 to 3 belong to
// device variants 1 to 3 (their syaffs.bc). Each is a DER SubjectPublicKeyInfo of an RSA-1024
// key with exponent 65537, 162 bytes long. The table is generated at build time from the key
// directory the build names (key0.der .. key3.der), so the values never live in the sources.
#pragma once

#include "platform/types.h"

inline constexpr DWORD KeyCount = 4;
inline constexpr DWORD BuiltInKeySize = 162;

extern const BYTE KeyTable[KeyCount][BuiltInKeySize];
extern const DWORD KeyTableLengths[KeyCount];
