// An in-process stand-in for the device platform, linked instead of the host library into the
// fuzz targets and the campaign tests that run system code many thousands of times: a 16-bit
// CFI NOR chip held in RAM with the Intel/Sharp command set, a counter that advances on every
// read, named mutexes that only count their holders, and no-op dialog calls.
//
// The chip is stricter than the silicon: it aborts the process (so a fuzzer reports it) when a
// register access falls outside a mapped window, when an erase command is not written at the
// first word of a block, when a command byte is not one the driver is meant to send, and when a
// window is released with another size than it was mapped with. A command to an address that
// lies in no block of the chip's own geometry fails with the error bits of a locked block.
// Programming only clears bits (new word = old word AND data); programming or erasing a locked
// block changes nothing and sets the error bits the real part sets. Every block powers up locked.
// Operations are instant.
//
// Not modelled: buffered programming, suspend/resume, protection registers, timing.
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

// Powers the chip up afresh: the array erased (all 0xFF), every block locked, read-array mode,
// status clear, windows unmapped, mutex counts and the command count at 0.
void Reset(const ChipConfig& config);

// The array as the chip holds it (kFlashWindowSize bytes), for tests to fill and inspect. Writes
// through this pointer bypass the command set.
BYTE* Array();
std::size_t ArraySize();

// The block geometry the chip itself derives from its query table (the same rules as a CFI
// reader: region count 1 or 2, sizes doubled at a size exponent of 23 or more), cut off at the
// end of the window. Empty when the table describes no usable geometry.
struct Block {
  std::size_t offset;
  std::size_t size;
};
const std::vector<Block>& Blocks();

// Commands written since the last Reset (every WriteRegister16 counts, program data included).
std::uint64_t CommandCount();
// Erase commands confirmed since the last Reset.
std::uint64_t EraseCount();

// Mutexes: acquisitions not yet released, over all handles, and handles not yet closed.
int HeldMutexCount();
int OpenMutexHandleCount();
// Whether any window is mapped.
bool AnyWindowMapped();
// Whether the chip rests in read-array mode with no command half written.
bool InReadArrayMode();

}  // namespace memory_device
