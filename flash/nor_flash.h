// The NOR boot flash driver: one 16-bit CFI device with the Intel/Sharp command set
// (manufacturer 0x0089), reached through the 2 MiB window onto physical 0, with every wait
// timed against the free-running counter at offset 0x10 of the timer block (3 steps per us).
//
// NorFlash is one process-wide instance with static state and no allocation:
//   open count       opens not yet matched by a close; both windows are held while non-zero
//   flash window     GetPointer(0, 0x200000), null when not mapped
//   timer window     GetPointer(0x40A00000, 0xE0), null when not mapped
//   geometry         FlashGeometry below, read from the CFI table by the first open
//   table copy       the 800-byte PartitionTable read from the start of the last block
// Close releases only the windows; geometry, time limits and table copy keep their values until
// the next first open overwrites them.
//
// Blocks are numbered from 0 at the lowest address, erase-block region 0 first (CFI region 1),
// then region 1. Every operation leaves the device in read-array mode, so callers read flash
// contents with ordinary memory copies from BlockAddress. The driver takes no lock: callers
// serialise with NorFlashMutex (NOR_SYN_OBJ), and all calls come from one thread.
//
// Every operation other than Open and Close refuses to work on a closed driver (after a failed
// open as well): results 0, sizes 0, a null address, lookups -1, with no device access.
#pragma once

#include <cstddef>

#include "flash/partition_table.h"
#include "platform/types.h"

inline constexpr std::size_t kCfiQueryWordCount = 0x39;  // query words 0x00..0x38
inline constexpr DWORD kFlashLockTimeoutUs = 1000000;    // lock and unlock, never recomputed
inline constexpr DWORD kFlashDefaultTimeoutUs =
    10000000;  // program and erase before the first open
inline constexpr DWORD kFlashCounterStepsPerUs = 3;
inline constexpr DWORD kFlashManufacturerIntel = 0x0089;
inline constexpr std::size_t kFlashStagingBufferSize = 1024;
static_assert(kFlashStagingBufferSize % 2 == 0, "the staging buffer holds whole words");

struct FlashGeometry {
  WORD queryTable[kCfiQueryWordCount];  // low byte of each CFI query word, high byte 0
  DWORD regionBlockCount[2];            // region 1: 0 on a one-region device
  DWORD regionBlockSize[2];             // bytes; region 1: 0 on a one-region device
  DWORD totalBlockCount;
  DWORD lockTimeoutUs;
  DWORD wordProgramTimeoutUs;  // 2^q[0x1F] * 2^q[0x23] once an open has read the CFI table
  DWORD blockEraseTimeoutUs;   // 2^q[0x21] * 2^q[0x25] * 1000 once an open has read it
};

class NorFlash {
 public:
  // Opens nest. The first open maps the timer and flash windows, checks the identifier word
  // (exactly 0x0089), reads the CFI query table (Q, R, Y at 0x10..0x12, region count 1 or 2),
  // computes geometry and time limits (block sizes doubled when the size exponent q[0x27] is 23
  // or more), returns the device to read array, and copies the partition table from the last
  // block; when that copy is not valid it builds the default layout, erases the last block and
  // programs the new table there. A geometry whose blocks reach past the 2 MiB window is
  // refused before any array access. 1 on success; on failure the open has undone itself:
  // count back to 0, the device returned to read array, both windows released. Further opens
  // while open return 1 with no device access.
  [[nodiscard]] static int Open();

  // Undoes one open; the close that brings the count to 0 releases both windows. A close while
  // closed changes nothing. Always 1.
  static int Close();

  // Address of the first word of block `block` inside the flash window: the window base plus
  // the sizes of all blocks below it (a number at or past the total gives the address just past
  // the last block). No device access; null when closed.
  [[nodiscard]] static volatile WORD* BlockAddress(DWORD block);

  // Size of block `block` in bytes; 0 when the number is not below the total, or when closed.
  [[nodiscard]] static DWORD BlockSize(DWORD block);

  // Unlocks, erases and relocks the block. 1 when the device became ready within
  // blockEraseTimeoutUs with neither the erase-error (0x20) nor the voltage-error (0x08) bit;
  // 0 otherwise, and 0 without device access for a block number at or past the total. Status
  // is cleared and read array restored in every case.
  [[nodiscard]] static int EraseBlock(DWORD block);

  // Programs `length` bytes from `source` at byte `offset` of block `block`, framed by an
  // unlock and a relock. Unaligned ranges go through a 1024-byte staging buffer padded with
  // 0xFF, which leaves the neighbouring flash byte unchanged. 1 when every word was programmed
  // without 0x10, 0x08 or 0x02 (length 0 included); 0 on the first failing word (earlier words
  // stay programmed). Refused with 0 and no device access when `source` is null, the block is
  // at or past the total, or offset + length exceeds the block size (computed without
  // overflow). Read array is restored in every case.
  [[nodiscard]] static int Program(DWORD block, DWORD offset, const void* source, DWORD length);

  // Partition lookups on the RAM copy of the table (the flash is not read again); -1 when no
  // entry has the type, or when closed.
  [[nodiscard]] static INT FirstBlockOfType(DWORD type);
  [[nodiscard]] static INT LastBlockOfType(DWORD type);

  // Internal steps, public for tests.
  //
  // Locks (lock != 0) or unlocks `count` blocks from `first`; 1 when every block became ready
  // within lockTimeoutUs (no error bit is tested), a time-out stops the run with 0. After a
  // lock, read array is written at the last block handled; after an unlock the device stays in
  // read-status mode. A count of 0 does nothing and gives 1; a range that reaches past the
  // total gives 0 with no device access.
  static int SetBlockLock(DWORD first, DWORD count, int lock);

  // Programs `wordCount` words from `source` at `target`, one word-program command each,
  // commands written at `blockAddress`. 1 when every word passed (0 words included); ends with
  // read array at `blockAddress`. `target` must lie in the block at `blockAddress` and the run
  // inside the window; a run that does not is refused with 0.
  static int ProgramWords(volatile WORD* blockAddress, volatile WORD* target, const void* source,
                          DWORD wordCount);

  // The geometry and time limits as the last first open left them (for tools and tests).
  [[nodiscard]] static const FlashGeometry& Geometry();
  // Opens not yet matched by a close.
  [[nodiscard]] static DWORD OpenCount();
};
