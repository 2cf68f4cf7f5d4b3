#include "flash/nor_flash.h"

#include <cstdint>
#include <cstring>

#include "platform/physical_memory.h"

namespace {

// Commands, written as 16-bit values; clear-status and read-status carry the code in both bytes.
constexpr WORD kCommandReadIdentifier = 0x0090;
constexpr WORD kCommandQuery = 0x0098;
constexpr WORD kCommandReadArray = 0x00FF;
constexpr WORD kCommandClearStatus = 0x5050;
constexpr WORD kCommandReadStatus = 0x7070;
constexpr WORD kCommandWordProgram = 0x0040;
constexpr WORD kCommandBlockErase = 0x0020;
constexpr WORD kCommandConfirm = 0x00D0;
constexpr WORD kCommandLockSetup = 0x0060;
constexpr WORD kCommandSetLock = 0x0001;

// Status register bits.
constexpr WORD kStatusReady = 0x80;
constexpr WORD kStatusEraseError = 0x20;
constexpr WORD kStatusProgramError = 0x10;
constexpr WORD kStatusVoltageError = 0x08;
constexpr WORD kStatusBlockLocked = 0x02;

// CFI query word addresses.
constexpr std::size_t kQueryLetters = 0x10;
constexpr std::size_t kQueryWordProgramTypical = 0x1F;
constexpr std::size_t kQueryBlockEraseTypical = 0x21;
constexpr std::size_t kQueryWordProgramMax = 0x23;
constexpr std::size_t kQueryBlockEraseMax = 0x25;
constexpr std::size_t kQueryDeviceSize = 0x27;
constexpr std::size_t kQueryRegionCount = 0x2C;
constexpr std::size_t kQueryRegion0 = 0x2D;
constexpr std::size_t kQueryRegion1 = 0x31;
constexpr std::size_t kQueryRegionDescriptorSize = 4;
static_assert(kQueryRegion1 + kQueryRegionDescriptorSize <= kCfiQueryWordCount);
static_assert(kQueryRegion0 + kQueryRegionDescriptorSize == kQueryRegion1);

// Devices of 8 MiB (2^23) and up report half their block size.
constexpr WORD kDoubledSizeExponent = 23;

struct NorFlashState {
  DWORD openCount;
  volatile WORD* flash;
  volatile DWORD* timer;
  FlashGeometry geometry;
  BYTE table[kPartitionTableSize];
};

constinit NorFlashState state = {
    0,
    nullptr,
    nullptr,
    {{}, {0, 0}, {0, 0}, 0, kFlashLockTimeoutUs, kFlashDefaultTimeoutUs, kFlashDefaultTimeoutUs},
    {}};

bool IsOpen() {
  return state.openCount != 0 && state.flash != nullptr && state.timer != nullptr;
}

volatile WORD* WordAt(volatile WORD* base, std::size_t word) {
  return base + word;
}

void WriteWord(volatile WORD* address, WORD value) {
  WriteRegister16(address, value);
}

WORD ReadWord(const volatile WORD* address) {
  return ReadRegister16(address);
}

DWORD ReadCounter() {
  return ReadRegister32(state.timer + kTimerCounterOffset / sizeof(DWORD));
}

// 2^exponent in unsigned 32-bit arithmetic: exponents of 32 and more wrap to 0.
DWORD PowerOfTwo(WORD exponent) {
  return exponent < 32 ? DWORD{1} << exponent : 0;
}

// Polls the status register at `address` against the counter until the device reports ready or
// `limitUs` has passed; the status read after the loop decides. Leaves the device in read-status
// mode.
bool WaitReady(volatile WORD* address, DWORD limitUs) {
  const DWORD start = ReadCounter();
  const DWORD limit = kFlashCounterStepsPerUs * limitUs;
  for (;;) {
    if (static_cast<DWORD>(ReadCounter() - start) > limit) {
      break;
    }
    if (ReadWord(address) & kStatusReady) {
      break;
    }
  }
  return (ReadWord(address) & kStatusReady) != 0;
}

// Byte offset of block `block` from the window base, counting no more blocks than exist.
unsigned long long BlockOffset(DWORD block) {
  const FlashGeometry& g = state.geometry;
  const DWORD inRegion0 = block < g.regionBlockCount[0] ? block : g.regionBlockCount[0];
  const DWORD rest = block - inRegion0;
  const DWORD inRegion1 = rest < g.regionBlockCount[1] ? rest : g.regionBlockCount[1];
  return static_cast<unsigned long long>(inRegion0) * g.regionBlockSize[0] +
         static_cast<unsigned long long>(inRegion1) * g.regionBlockSize[1];
}

DWORD SizeOfBlock(DWORD block) {
  const FlashGeometry& g = state.geometry;
  if (block < g.regionBlockCount[0]) {
    return g.regionBlockSize[0];
  }
  if (block - g.regionBlockCount[0] < g.regionBlockCount[1]) {
    return g.regionBlockSize[1];
  }
  return 0;
}

volatile WORD* AddressOfBlock(DWORD block) {
  return state.flash + BlockOffset(block) / sizeof(WORD);
}

// Reads the CFI table and derives geometry and time limits. False for a table without the
// letters Q, R, Y, a region count other than 1 or 2, or blocks that do not fit the window (so
// that no later access can leave it).
bool ReadGeometry() {
  FlashGeometry& g = state.geometry;
  WriteWord(state.flash, kCommandQuery);
  for (std::size_t word = 0; word < kCfiQueryWordCount; ++word) {
    g.queryTable[word] = ReadWord(WordAt(state.flash, word)) & 0xFF;
  }
  const WORD* q = g.queryTable;
  if (q[kQueryLetters] != 'Q' || q[kQueryLetters + 1] != 'R' || q[kQueryLetters + 2] != 'Y') {
    return false;
  }
  g.wordProgramTimeoutUs =
      PowerOfTwo(q[kQueryWordProgramTypical]) * PowerOfTwo(q[kQueryWordProgramMax]);
  g.blockEraseTimeoutUs =
      PowerOfTwo(q[kQueryBlockEraseTypical]) * PowerOfTwo(q[kQueryBlockEraseMax]) * 1000u;

  const auto regionCount = [q](std::size_t at) { return q[at] + 256u * q[at + 1] + 1u; };
  const auto regionSize = [q](std::size_t at) { return (q[at + 2] + 256u * q[at + 3]) * 256u; };
  switch (q[kQueryRegionCount]) {
    case 2:
      g.regionBlockCount[0] = regionCount(kQueryRegion0);
      g.regionBlockSize[0] = regionSize(kQueryRegion0);
      g.regionBlockCount[1] = regionCount(kQueryRegion1);
      g.regionBlockSize[1] = regionSize(kQueryRegion1);
      break;
    case 1:
      g.regionBlockCount[0] = regionCount(kQueryRegion0);
      g.regionBlockSize[0] = regionSize(kQueryRegion0);
      g.regionBlockCount[1] = 0;
      g.regionBlockSize[1] = 0;
      break;
    default:
      return false;
  }
  g.totalBlockCount = g.regionBlockCount[0] + g.regionBlockCount[1];
  if (q[kQueryDeviceSize] >= kDoubledSizeExponent) {
    g.regionBlockSize[0] *= 2;
    g.regionBlockSize[1] *= 2;
  }
  // Every block, and the table at the start of the last one, must lie inside the window.
  const unsigned long long end = BlockOffset(g.totalBlockCount);
  const unsigned long long tableEnd = BlockOffset(g.totalBlockCount - 1) + kPartitionTableSize;
  return end <= kFlashWindowSize && tableEnd <= kFlashWindowSize;
}

// The open's failure exit: undoes its count and releases what was mapped. `commandWritten`
// tells whether the device has left read-array mode.
int FailOpen(bool commandWritten) {
  if (commandWritten && state.flash != nullptr) {
    WriteWord(state.flash, kCommandReadArray);
  }
  NorFlash::Close();
  return 0;
}

}  // namespace

int NorFlash::Open() {
  ++state.openCount;
  if (state.openCount > 1) {
    return 1;
  }
  state.timer = static_cast<volatile DWORD*>(GetPointer(kTimerPhysicalAddress, kTimerWindowSize));
  state.flash = static_cast<volatile WORD*>(GetPointer(kFlashPhysicalAddress, kFlashWindowSize));
  if (state.timer == nullptr || state.flash == nullptr) {
    return FailOpen(false);
  }
  WriteWord(state.flash, kCommandReadIdentifier);
  if (ReadWord(state.flash) != kFlashManufacturerIntel) {
    return FailOpen(true);
  }
  if (!ReadGeometry()) {
    return FailOpen(true);
  }
  WriteWord(state.flash, kCommandReadArray);

  const DWORD tableBlock = state.geometry.totalBlockCount - 1;
  std::memcpy(state.table, const_cast<const WORD*>(AddressOfBlock(tableBlock)),
              kPartitionTableSize);
  if (PartitionTable::IsValid(state.table)) {
    return 1;
  }
  if (!PartitionTable::BuildDefault(state.table, state.geometry.regionBlockSize,
                                    state.geometry.regionBlockCount) ||
      !EraseBlock(tableBlock) || !Program(tableBlock, 0, state.table, kPartitionTableSize)) {
    return FailOpen(false);
  }
  return 1;
}

int NorFlash::Close() {
  if (state.openCount != 0) {
    --state.openCount;
    if (state.openCount != 0) {
      return 1;
    }
  }
  if (state.timer != nullptr) {
    ReleasePointer(const_cast<DWORD*>(state.timer), kTimerWindowSize);
    state.timer = nullptr;
  }
  if (state.flash != nullptr) {
    ReleasePointer(const_cast<WORD*>(state.flash), kFlashWindowSize);
    state.flash = nullptr;
  }
  return 1;
}

volatile WORD* NorFlash::BlockAddress(DWORD block) {
  return IsOpen() ? AddressOfBlock(block) : nullptr;
}

DWORD NorFlash::BlockSize(DWORD block) {
  return IsOpen() ? SizeOfBlock(block) : 0;
}

int NorFlash::EraseBlock(DWORD block) {
  if (!IsOpen() || block >= state.geometry.totalBlockCount) {
    return 0;
  }
  volatile WORD* address = AddressOfBlock(block);
  (void)SetBlockLock(block, 1, 0);
  WriteWord(address, kCommandClearStatus);
  WriteWord(address, kCommandBlockErase);
  WriteWord(address, kCommandConfirm);
  WriteWord(address, kCommandReadStatus);
  int result = 0;
  if (WaitReady(address, state.geometry.blockEraseTimeoutUs)) {
    const WORD status = ReadWord(address);
    result = (status & (kStatusEraseError | kStatusVoltageError)) == 0 ? 1 : 0;
  }
  WriteWord(address, kCommandClearStatus);
  WriteWord(address, kCommandReadArray);
  (void)SetBlockLock(block, 1, 1);
  return result;
}

int NorFlash::ProgramWords(volatile WORD* blockAddress, volatile WORD* target, const void* source,
                           DWORD wordCount) {
  if (!IsOpen() || blockAddress == nullptr || target == nullptr ||
      (wordCount != 0 && source == nullptr)) {
    return 0;
  }
  const volatile WORD* windowEnd = state.flash + kFlashWindowSize / sizeof(WORD);
  if (blockAddress < state.flash || blockAddress >= windowEnd || target < blockAddress ||
      target > windowEnd || static_cast<std::size_t>(windowEnd - target) < wordCount) {
    return 0;
  }
  const BYTE* bytes = static_cast<const BYTE*>(source);
  int result = 1;
  for (DWORD i = 0; i < wordCount; ++i) {
    WORD data = 0;
    std::memcpy(&data, bytes + 2 * static_cast<std::size_t>(i), sizeof data);
    WriteWord(blockAddress, kCommandWordProgram);
    WriteWord(target + i, data);
    WriteWord(blockAddress, kCommandReadStatus);
    if (!WaitReady(blockAddress, state.geometry.wordProgramTimeoutUs)) {
      result = 0;
      break;
    }
    const WORD status = ReadWord(blockAddress);
    WriteWord(blockAddress, kCommandClearStatus);
    if (status & (kStatusProgramError | kStatusVoltageError | kStatusBlockLocked)) {
      result = 0;
      break;
    }
  }
  WriteWord(blockAddress, kCommandReadArray);
  return result;
}

int NorFlash::Program(DWORD block, DWORD offset, const void* source, DWORD length) {
  if (!IsOpen() || source == nullptr || block >= state.geometry.totalBlockCount ||
      static_cast<unsigned long long>(offset) + length > SizeOfBlock(block)) {
    return 0;
  }
  (void)SetBlockLock(block, 1, 0);
  volatile WORD* address = AddressOfBlock(block);
  // The target as a byte address inside the window; block addresses are even.
  std::size_t target = BlockOffset(block) + offset;
  const BYTE* bytes = static_cast<const BYTE*>(source);
  const bool sourceEven = (reinterpret_cast<std::uintptr_t>(source) & 1) == 0;

  int result = 1;
  if (target % 2 == 0 && sourceEven && length % 2 == 0) {
    result = ProgramWords(address, state.flash + target / 2, source, length / 2);
  } else {
    // Unaligned: stage through a word-aligned buffer, padding a leading odd byte and a trailing
    // odd byte with 0xFF, which programs nothing. Only the first chunk can start with a filler
    // and only the last can end with one, so the programmed words stay contiguous.
    alignas(WORD) BYTE buffer[kFlashStagingBufferSize + 1];
    std::size_t used = 0;
    std::size_t room = kFlashStagingBufferSize;
    if (target % 2 != 0) {
      buffer[0] = 0xFF;
      target -= 1;
      used = 1;
      room = kFlashStagingBufferSize - 1;
    }
    DWORD consumed = 0;
    while (consumed < length) {
      const std::size_t chunk = length - consumed < room ? length - consumed : room;
      std::memcpy(buffer + used, bytes + consumed, chunk);
      used += chunk;
      if (used % 2 != 0) {
        buffer[used] = 0xFF;
        used += 1;
      }
      if (!ProgramWords(address, state.flash + target / 2, buffer, static_cast<DWORD>(used / 2))) {
        result = 0;
        break;
      }
      consumed += static_cast<DWORD>(chunk);
      target += used;
      used = 0;
      room = kFlashStagingBufferSize;
    }
  }
  (void)SetBlockLock(block, 1, 1);
  return result;
}

int NorFlash::SetBlockLock(DWORD first, DWORD count, int lock) {
  if (!IsOpen()) {
    return 0;
  }
  if (count == 0) {
    return 1;
  }
  const DWORD total = state.geometry.totalBlockCount;
  if (first >= total || count > total - first) {
    return 0;
  }
  int result = 1;
  volatile WORD* address = nullptr;
  for (DWORD block = first; block < first + count; ++block) {
    address = AddressOfBlock(block);
    WriteWord(address, kCommandClearStatus);
    WriteWord(address, kCommandLockSetup);
    WriteWord(address, lock ? kCommandSetLock : kCommandConfirm);
    WriteWord(address, kCommandReadStatus);
    if (!WaitReady(address, state.geometry.lockTimeoutUs)) {
      result = 0;
      break;
    }
  }
  if (lock) {
    WriteWord(address, kCommandReadArray);
  }
  return result;
}

INT NorFlash::FirstBlockOfType(DWORD type) {
  return IsOpen() ? PartitionTable::FirstBlockOfType(type, state.table) : -1;
}

INT NorFlash::LastBlockOfType(DWORD type) {
  return IsOpen() ? PartitionTable::LastBlockOfType(type, state.table) : -1;
}

const FlashGeometry& NorFlash::Geometry() {
  return state.geometry;
}

DWORD NorFlash::OpenCount() {
  return state.openCount;
}
