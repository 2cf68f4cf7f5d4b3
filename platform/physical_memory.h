// Physical-memory windows and device registers.
//
// GetPointer maps a physical address range into the process: the NOR flash (physical 0,
// 0x200000 bytes) and the hardware timer block (physical 0x40A00000, 0xE0 bytes). Any other
// range gives null. ReleasePointer with the same address and size releases the window.
//
// Device registers are touched only through the three register functions, each taking an
// address inside a window that GetPointer returned. On the device they are single volatile
// accesses; on the host they reach the simulated hardware that owns the window. Array contents
// of the flash are read with ordinary memory copies from the window.
#pragma once

#include "platform/types.h"

inline constexpr DWORD kFlashPhysicalAddress = 0x00000000u;
inline constexpr DWORD kFlashWindowSize = 0x00200000u;
inline constexpr DWORD kTimerPhysicalAddress = 0x40A00000u;
inline constexpr DWORD kTimerWindowSize = 0xE0u;
inline constexpr DWORD kTimerCounterOffset = 0x10u;

void* GetPointer(DWORD physicalAddress, DWORD size);
BOOL ReleasePointer(void* address, DWORD size);

WORD ReadRegister16(const volatile WORD* address);
void WriteRegister16(volatile WORD* address, WORD value);
DWORD ReadRegister32(const volatile DWORD* address);
