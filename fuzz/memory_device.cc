#include "fuzz/memory_device.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "platform/core_library.h"
#include "platform/dialog_framework.h"
#include "platform/physical_memory.h"
#include "signing/update_dialog_link.h"

namespace memory_device {
namespace {

// Command words exactly as the driver writes them.
constexpr WORD kReadIdentifier = 0x0090;
constexpr WORD kCfiQuery = 0x0098;
constexpr WORD kReadArray = 0x00FF;
constexpr WORD kClearStatus = 0x5050;
constexpr WORD kReadStatus = 0x7070;
constexpr WORD kWordProgramSetup = 0x0040;
constexpr WORD kBlockEraseSetup = 0x0020;
constexpr WORD kConfirm = 0x00D0;
constexpr WORD kLockSetup = 0x0060;
constexpr WORD kSetBlockLock = 0x0001;

constexpr BYTE kStatusReady = 0x80;
constexpr BYTE kStatusEraseError = 0x20;
constexpr BYTE kStatusProgramError = 0x10;
constexpr BYTE kStatusLocked = 0x02;

enum class Mode { ReadArray, Identifier, Query, Status };
enum class Pending { None, Program, Erase, Lock };

struct Chip {
  ChipConfig config;
  std::vector<BYTE> array = std::vector<BYTE>(kFlashWindowSize, 0xFF);
  std::vector<Block> blocks;
  std::vector<bool> locked;
  Mode mode = Mode::ReadArray;
  Pending pending = Pending::None;
  BYTE status = 0;
  bool flashMapped = false;
  bool timerMapped = false;
  std::uint64_t commands = 0;
  std::uint64_t erases = 0;
  DWORD counter = 0;
  alignas(4) BYTE timerRegisters[kTimerWindowSize] = {};
};

Chip& TheChip() {
  static Chip chip;
  return chip;
}

[[noreturn]] void Violation(const char* what, std::size_t offset) {
  std::fprintf(stderr, "memory_device: %s (offset 0x%zx)\n", what, offset);
  std::abort();
}

std::vector<Block> DeriveBlocks(const QueryTable& q) {
  std::vector<Block> blocks;
  const unsigned regions = q[0x2C];
  if (q[0x10] != 'Q' || q[0x11] != 'R' || q[0x12] != 'Y' || (regions != 1 && regions != 2))
    return blocks;
  std::size_t offset = 0;
  for (unsigned region = 0; region < regions; ++region) {
    const unsigned base = 0x2D + 4 * region;
    const std::size_t count = q[base] + 256u * q[base + 1] + 1;
    std::size_t size = (q[base + 2] + 256u * q[base + 3]) * std::size_t{256};
    if (q[0x27] >= 23) size *= 2;
    if (size == 0) continue;
    for (std::size_t i = 0; i < count && offset + size <= kFlashWindowSize; ++i) {
      blocks.push_back({offset, size});
      offset += size;
    }
  }
  return blocks;
}

// The index of the block that holds `offset`, or -1.
long BlockIndexAt(std::size_t offset) {
  const auto& blocks = TheChip().blocks;
  auto it = std::upper_bound(blocks.begin(), blocks.end(), offset,
                             [](std::size_t value, const Block& b) { return value < b.offset; });
  if (it == blocks.begin()) return -1;
  --it;
  if (offset >= it->offset + it->size) return -1;
  return static_cast<long>(it - blocks.begin());
}

// The block that starts at `offset`; -1 when no block holds it (a block the chip does not have,
// which a driver can name after reading a nonsensical query table). A command inside a block
// but away from its start is a driver fault and aborts.
long BlockStartingAt(std::size_t offset, const char* command) {
  const long index = BlockIndexAt(offset);
  if (index >= 0 && TheChip().blocks[index].offset != offset) Violation(command, offset);
  return index;
}

std::size_t FlashOffset(const volatile void* address) {
  Chip& chip = TheChip();
  const auto* base = chip.array.data();
  const auto* at = static_cast<const volatile BYTE*>(address);
  if (!chip.flashMapped) Violation("flash register access while the window is not mapped", 0);
  if (at < base || at >= base + kFlashWindowSize)
    Violation("16-bit register access outside the flash window",
              static_cast<std::size_t>(at - base));
  const auto offset = static_cast<std::size_t>(at - base);
  if (offset % 2 != 0) Violation("unaligned 16-bit register access", offset);
  return offset;
}

WORD ArrayWord(std::size_t offset) {
  const auto& array = TheChip().array;
  return static_cast<WORD>(array[offset] | array[offset + 1] << 8);
}

void ProgramWord(std::size_t offset, WORD value) {
  Chip& chip = TheChip();
  const long index = BlockIndexAt(offset);
  if (index < 0 || chip.locked[index]) {
    chip.status |= kStatusProgramError | kStatusLocked;
    return;
  }
  chip.array[offset] &= static_cast<BYTE>(value);
  chip.array[offset + 1] &= static_cast<BYTE>(value >> 8);
}

void EraseBlockAt(std::size_t offset) {
  Chip& chip = TheChip();
  const long index = BlockStartingAt(offset, "erase confirmed away from the start of a block");
  ++chip.erases;
  if (index < 0 || chip.locked[index]) {
    chip.status |= kStatusEraseError | kStatusLocked;
    return;
  }
  const Block& block = chip.blocks[index];
  std::memset(chip.array.data() + block.offset, 0xFF, block.size);
}

}  // namespace

QueryTable MakeQueryTable(Region region0, Region region1, BYTE wordProgramTypical,
                          BYTE blockEraseTypical, BYTE wordProgramMax, BYTE blockEraseMax) {
  QueryTable q{};
  q[0x10] = 'Q';
  q[0x11] = 'R';
  q[0x12] = 'Y';
  q[0x1F] = wordProgramTypical;
  q[0x21] = blockEraseTypical;
  q[0x23] = wordProgramMax;
  q[0x25] = blockEraseMax;
  const std::uint64_t total =
      std::uint64_t{region0.count} * region0.size + std::uint64_t{region1.count} * region1.size;
  BYTE exponent = 0;
  while (exponent < 63 && (std::uint64_t{1} << exponent) < total) ++exponent;
  q[0x27] = exponent;
  q[0x2C] = region1.count == 0 ? 1 : 2;
  const Region regions[2] = {region0, region1};
  for (unsigned r = 0; r < 2; ++r) {
    if (regions[r].count == 0) continue;
    const unsigned base = 0x2D + 4 * r;
    const DWORD countMinusOne = regions[r].count - 1;
    const DWORD units = regions[r].size / 256;
    q[base] = static_cast<BYTE>(countMinusOne);
    q[base + 1] = static_cast<BYTE>(countMinusOne >> 8);
    q[base + 2] = static_cast<BYTE>(units);
    q[base + 3] = static_cast<BYTE>(units >> 8);
  }
  return q;
}

void Reset(const ChipConfig& config) {
  Chip& chip = TheChip();
  chip.config = config;
  std::fill(chip.array.begin(), chip.array.end(), BYTE{0xFF});
  chip.blocks = DeriveBlocks(config.query);
  chip.locked.assign(chip.blocks.size(), true);
  chip.mode = Mode::ReadArray;
  chip.pending = Pending::None;
  chip.status = 0;
  chip.flashMapped = false;
  chip.timerMapped = false;
  chip.commands = 0;
  chip.erases = 0;
}

BYTE* Array() {
  return TheChip().array.data();
}
std::size_t ArraySize() {
  return TheChip().array.size();
}
const std::vector<Block>& Blocks() {
  return TheChip().blocks;
}
std::uint64_t CommandCount() {
  return TheChip().commands;
}
std::uint64_t EraseCount() {
  return TheChip().erases;
}
bool AnyWindowMapped() {
  return TheChip().flashMapped || TheChip().timerMapped;
}
bool InReadArrayMode() {
  return TheChip().mode == Mode::ReadArray && TheChip().pending == Pending::None;
}

// ---- named mutexes -----------------------------------------------------------------------
namespace {

struct HandleSlot {
  bool open = false;
  std::u16string name;
};
constexpr std::size_t kHandleSlots = 64;

struct Mutexes {
  HandleSlot slots[kHandleSlots];
  std::map<std::u16string, int> held;
};

Mutexes& TheMutexes() {
  static Mutexes mutexes;
  return mutexes;
}

HandleSlot* SlotOf(HANDLE handle) {
  Mutexes& m = TheMutexes();
  auto* slot = static_cast<HandleSlot*>(handle);
  if (slot < m.slots || slot >= m.slots + kHandleSlots || !slot->open) return nullptr;
  return slot;
}

thread_local DWORD lastError = 0;

}  // namespace

int HeldMutexCount() {
  int total = 0;
  for (const auto& [name, count] : TheMutexes().held) total += count;
  return total;
}

int OpenMutexHandleCount() {
  int open = 0;
  for (const auto& slot : TheMutexes().slots) open += slot.open ? 1 : 0;
  return open;
}

}  // namespace memory_device

using memory_device::TheChip;

// ---- platform/physical_memory.h ------------------------------------------------------------
void* GetPointer(DWORD physicalAddress, DWORD size) {
  auto& chip = TheChip();
  if (physicalAddress == kFlashPhysicalAddress && size == kFlashWindowSize) {
    if (chip.config.refuseFlashWindow || chip.flashMapped) return nullptr;
    chip.flashMapped = true;
    return chip.array.data();
  }
  if (physicalAddress == kTimerPhysicalAddress && size == kTimerWindowSize) {
    if (chip.config.refuseTimerWindow || chip.timerMapped) return nullptr;
    chip.timerMapped = true;
    return chip.timerRegisters;
  }
  return nullptr;
}

BOOL ReleasePointer(void* address, DWORD size) {
  auto& chip = TheChip();
  if (address == chip.array.data() && chip.flashMapped) {
    if (size != kFlashWindowSize)
      memory_device::Violation("flash window released with a bad size", size);
    chip.flashMapped = false;
    return TRUE;
  }
  if (address == chip.timerRegisters && chip.timerMapped) {
    if (size != kTimerWindowSize)
      memory_device::Violation("timer window released with a bad size", size);
    chip.timerMapped = false;
    return TRUE;
  }
  memory_device::Violation("release of a window that is not mapped", size);
}

WORD ReadRegister16(const volatile WORD* address) {
  using namespace memory_device;
  auto& chip = TheChip();
  const std::size_t offset = FlashOffset(address);
  const std::size_t word = offset / 2;
  switch (chip.mode) {
    case Mode::ReadArray:
      return ArrayWord(offset);
    case Mode::Identifier:
      return word == 0 ? chip.config.manufacturer : word == 1 ? chip.config.deviceCode : 0;
    case Mode::Query:
      return word < kQueryWordCount ? chip.config.query[word] : 0;
    case Mode::Status:
      return static_cast<WORD>(chip.status | kStatusReady);
  }
  return 0;
}

void WriteRegister16(volatile WORD* address, WORD value) {
  using namespace memory_device;
  auto& chip = TheChip();
  const std::size_t offset = FlashOffset(address);
  ++chip.commands;
  const Pending pending = chip.pending;
  chip.pending = Pending::None;
  switch (pending) {
    case Pending::Program:
      ProgramWord(offset, value);
      chip.mode = Mode::Status;
      return;
    case Pending::Erase:
      if (value != kConfirm) Violation("erase setup not followed by confirm", offset);
      EraseBlockAt(offset);
      chip.mode = Mode::Status;
      return;
    case Pending::Lock: {
      if (value != kSetBlockLock && value != kConfirm)
        Violation("lock setup not followed by lock or unlock", offset);
      const long index = BlockStartingAt(offset, "lock command away from the start of a block");
      if (index >= 0) chip.locked[index] = value == kSetBlockLock;
      chip.mode = Mode::Status;
      return;
    }
    case Pending::None:
      break;
  }
  switch (value) {
    case kReadIdentifier:
      chip.mode = Mode::Identifier;
      return;
    case kCfiQuery:
      chip.mode = Mode::Query;
      return;
    case kReadArray:
      chip.mode = Mode::ReadArray;
      return;
    case kClearStatus:
      chip.status = 0;
      return;
    case kReadStatus:
      chip.mode = Mode::Status;
      return;
    case kWordProgramSetup:
      chip.pending = Pending::Program;
      return;
    case kBlockEraseSetup:
      chip.pending = Pending::Erase;
      return;
    case kLockSetup:
      chip.pending = Pending::Lock;
      return;
    default:
      Violation("unknown command word", offset);
  }
}

DWORD ReadRegister32(const volatile DWORD* address) {
  auto& chip = TheChip();
  if (!chip.timerMapped ||
      reinterpret_cast<const volatile BYTE*>(address) != chip.timerRegisters + kTimerCounterOffset)
    memory_device::Violation("32-bit read other than the timer counter", 0);
  chip.counter += 3;
  return chip.counter;
}

// ---- platform/core_library.h: mutexes and the last error -----------------------------------
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
  auto& m = memory_device::TheMutexes();
  for (auto& slot : m.slots) {
    if (slot.open) continue;
    slot.open = true;
    slot.name = name ? std::u16string(name) : std::u16string();
    if (initialOwner) ++m.held[slot.name];
    return &slot;
  }
  std::fprintf(stderr, "memory_device: out of mutex handles (a handle leaks)\n");
  std::abort();
}

DWORD WaitForSingleObject(HANDLE object, DWORD) {
  auto* slot = memory_device::SlotOf(object);
  if (!slot) return 0xFFFFFFFFu;  // WAIT_FAILED
  ++memory_device::TheMutexes().held[slot->name];
  return WAIT_OBJECT_0;
}

BOOL ReleaseMutex(HANDLE mutex) {
  auto* slot = memory_device::SlotOf(mutex);
  if (!slot) return FALSE;
  int& held = memory_device::TheMutexes().held[slot->name];
  if (held == 0) {
    std::fprintf(stderr, "memory_device: mutex released more often than acquired\n");
    std::abort();
  }
  --held;
  return TRUE;
}

BOOL CloseHandle(HANDLE object) {
  auto* slot = memory_device::SlotOf(object);
  if (!slot) return FALSE;
  slot->open = false;
  return TRUE;
}

DWORD GetLastError() {
  return memory_device::lastError;
}
void SetLastError(DWORD error) {
  memory_device::lastError = error;
}

// ---- the dialog calls of the worker side ---------------------------------------------------
LRESULT SendMessageW(HWND, UINT, WPARAM, LPARAM) {
  return 0;
}
BOOL SetWindowTextW(HWND, LPCWSTR) {
  return TRUE;
}
void AdvanceOperation(UpdateDialog*) {}
HWND DialogProgressBar(UpdateDialog*) {
  return nullptr;
}
