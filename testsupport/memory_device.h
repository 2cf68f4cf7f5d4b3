// An in-process implementation of the device platform (orv_link_platform), linked instead of
// the host into the fuzz targets and the campaign tests that run system code many thousands of
// times: the
// simulated NOR chip of sim/nor_chip.h over a buffer in memory instead of nor.bin, behind the
// same flash window (sim/flash_window.h, so array reads follow the chip's mode), a counter that
// advances 3 steps (1 us) on every read, named mutexes that only count their holders, and
// window calls that do nothing. Operations are ready at once (instant timing); locks follow the
// lock variant of a default device configuration ($ORVANTA_LOCK_VARIANT).
//
// It aborts the process (so a fuzzer reports it) on every violation the chip records (an erase
// or lock command away from the start of a block, an unknown command or a wrong second cycle, an
// operation started with uncleared error bits ...), when a register access falls outside a
// mapped window, when the array is read through the window outside read-array mode, and when a
// window is released with another size than it was mapped with. The chip's blocks are the ones
// its query table describes, cut off at the end of the window; a block command to an address in
// no block fails with the error bits of a locked block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/types.h"

namespace memory_device {

inline constexpr std::size_t kQueryWordCount = 0x39;
using QueryTable = std::array<BYTE, kQueryWordCount>;

struct Region {
  DWORD count = 0;
  DWORD size = 0;
};

// A CFI query table for a chip of one or two erase-block regions with the given time
// exponents (the defaults are the simulator's), size exponent log2 of the total.
QueryTable MakeQueryTable(Region region0, Region region1, BYTE wordProgramTypical = 4,
                          BYTE blockEraseTypical = 10, BYTE wordProgramMax = 4,
                          BYTE blockEraseMax = 2);

struct ChipConfig {
  WORD manufacturer = 0x0089;
  WORD deviceCode = 0x88C5;
  QueryTable query = MakeQueryTable({8, 0x2000}, {62, 0x8000});
  // When set, GetPointer refuses the timer (or flash) window.
  bool refuseTimerWindow = false;
  bool refuseFlashWindow = false;
};

// Powers a new chip up: the array erased (all 0xFF), every block locked, read-array mode,
// status clear, windows unmapped.
void Reset(const ChipConfig& config);

// The array as the chip holds it (kFlashWindowSize bytes), for tests to fill and inspect. Writes
// through this pointer bypass the command set.
BYTE* Array();
std::size_t ArraySize();

// Mutexes: acquisitions not yet released, over all handles, and handles not yet closed.
int HeldMutexCount();
int OpenMutexHandleCount();
// Whether any window is mapped.
bool AnyWindowMapped();
// Whether the chip rests in read-array mode with no command half written.
bool InReadArrayMode();

}  // namespace memory_device
