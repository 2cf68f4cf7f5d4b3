#include "testsupport/memory_device.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "platform/core_library.h"
#include "platform/dialog_framework.h"
#include "platform/physical_memory.h"
#include "sim/cfi_query_table.h"
#include "sim/flash_window.h"
#include "sim/nor_chip.h"

namespace memory_device {
namespace {

static_assert(kQueryWordCount == sim::cfi::kTableWords);

struct Device {
  ChipConfig config;
  sim::Clock clock;
  std::unique_ptr<sim::MemoryArray> array;
  std::unique_ptr<sim::FlashWindow> window;
  std::unique_ptr<sim::NorChip> chip;
  bool flashMapped = false;
  bool timerMapped = false;
  alignas(4) BYTE timerRegisters[kTimerWindowSize] = {};
};

[[noreturn]] void Violation(const std::string& what, std::size_t offset) {
  std::fprintf(stderr, "memory_device: %s (offset 0x%zx)\n", what.c_str(), offset);
  std::abort();
}

// The array and its window are made once and kept for the process: a fresh 2 MiB mapping per
// fuzz input would cost more than the input's test.
Device& TheDevice() {
  static Device* device = [] {
    auto* made = new Device;
    std::string error;
    made->array = sim::MemoryArray::Create(kFlashWindowSize, &error);
    if (made->array != nullptr)
      made->window = sim::FlashWindow::Map(made->array->Handle(), made->array->Size(),
                                           kFlashWindowSize, &error);
    if (made->window == nullptr) Violation(error, 0);
    made->clock.Configure(sim::TimingMode::Virtual, sim::kCounterStepsPerMicrosecond);
    return made;
  }();
  return *device;
}

// The regions a CFI reader finds in the table (region count 1 or 2, block sizes doubled at a
// size exponent of 23 or more); none when the table is not a CFI table. The chip leaves out the
// blocks that do not fit in the window.
std::vector<sim::FlashRegion> RegionsOf(const QueryTable& q) {
  namespace cfi = sim::cfi;
  std::vector<sim::FlashRegion> regions;
  const unsigned count = q[cfi::kRegionCount];
  if (q[cfi::kSignature] != 'Q' || q[cfi::kSignature + 1] != 'R' ||
      q[cfi::kSignature + 2] != 'Y' || (count != 1 && count != 2))
    return regions;
  for (unsigned region = 0; region < count; ++region) {
    const std::size_t base = cfi::kRegions + cfi::kRegionWords * region;
    std::uint32_t size = (q[base + 2] + 256u * q[base + 3]) * cfi::kBlockSizeUnit;
    if (q[cfi::kDeviceSize] >= cfi::kHalvedBlockSizeExponent) size *= 2;
    regions.push_back({q[base] + 256u * q[base + 1] + 1, size});
  }
  return regions;
}

std::uint32_t FlashOffset(const volatile void* address) {
  Device& device = TheDevice();
  if (!device.flashMapped) Violation("flash register access while the window is not mapped", 0);
  if (!device.window->Contains(address, sizeof(WORD)))
    Violation("16-bit register access outside the flash window", 0);
  const auto offset = static_cast<std::uint32_t>(static_cast<const volatile BYTE*>(address) -
                                                 device.window->Base());
  if (offset % 2 != 0) Violation("unaligned 16-bit register access", offset);
  return offset;
}

}  // namespace

QueryTable MakeQueryTable(Region region0, Region region1, BYTE wordProgramTypical,
                          BYTE blockEraseTypical, BYTE wordProgramMax, BYTE blockEraseMax) {
  namespace cfi = sim::cfi;
  QueryTable q{};
  q[cfi::kSignature] = 'Q';
  q[cfi::kSignature + 1] = 'R';
  q[cfi::kSignature + 2] = 'Y';
  q[cfi::kWordProgramTypical] = wordProgramTypical;
  q[cfi::kBlockEraseTypical] = blockEraseTypical;
  q[cfi::kWordProgramMaximum] = wordProgramMax;
  q[cfi::kBlockEraseMaximum] = blockEraseMax;
  const std::uint64_t total =
      std::uint64_t{region0.count} * region0.size + std::uint64_t{region1.count} * region1.size;
  BYTE exponent = 0;
  while (exponent < 63 && (std::uint64_t{1} << exponent) < total) ++exponent;
  q[cfi::kDeviceSize] = exponent;
  q[cfi::kRegionCount] = region1.count == 0 ? 1 : 2;
  const Region regions[2] = {region0, region1};
  for (unsigned r = 0; r < 2; ++r) {
    if (regions[r].count == 0) continue;
    const std::size_t base = cfi::kRegions + cfi::kRegionWords * r;
    const DWORD countMinusOne = regions[r].count - 1;
    const DWORD units = regions[r].size / cfi::kBlockSizeUnit;
    q[base] = static_cast<BYTE>(countMinusOne);
    q[base + 1] = static_cast<BYTE>(countMinusOne >> 8);
    q[base + 2] = static_cast<BYTE>(units);
    q[base + 3] = static_cast<BYTE>(units >> 8);
  }
  return q;
}

void Reset(const ChipConfig& config) {
  Device& device = TheDevice();
  device.window->Activate(nullptr);
  device.chip.reset();
  device.config = config;
  sim::DeviceConfig chip;
  chip.regions = RegionsOf(config.query);
  chip.manufacturer = config.manufacturer;
  chip.deviceCode = config.deviceCode;
  chip.timing = sim::TimingMode::Instant;
  device.chip = sim::NorChip::StartInMemory(chip, *device.array, device.clock);
  device.chip->SetQueryTable(std::vector<std::uint16_t>(config.query.begin(), config.query.end()));
  device.chip->Probe().SetViolationHandler([](const std::string& what) { Violation(what, 0); });
  device.flashMapped = false;
  device.timerMapped = false;
}

BYTE* Array() {
  return TheDevice().array->Bytes();
}
std::size_t ArraySize() {
  return static_cast<std::size_t>(TheDevice().array->Size());
}
bool AnyWindowMapped() {
  return TheDevice().flashMapped || TheDevice().timerMapped;
}
bool InReadArrayMode() {
  const sim::NorChip& chip = *TheDevice().chip;
  return chip.CurrentMode() == sim::NorChip::Mode::ReadArray &&
         chip.CurrentCycle() == sim::NorChip::Cycle::Command;
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

using memory_device::TheDevice;

// ---- platform/physical_memory.h ------------------------------------------------------------
void* GetPointer(DWORD physicalAddress, DWORD size) {
  auto& device = TheDevice();
  if (physicalAddress == kFlashPhysicalAddress && size == kFlashWindowSize) {
    if (device.config.refuseFlashWindow || device.flashMapped) return nullptr;
    device.flashMapped = true;
    device.window->Activate(device.chip.get());
    return device.window->Base();
  }
  if (physicalAddress == kTimerPhysicalAddress && size == kTimerWindowSize) {
    if (device.config.refuseTimerWindow || device.timerMapped) return nullptr;
    device.timerMapped = true;
    return device.timerRegisters;
  }
  return nullptr;
}

BOOL ReleasePointer(void* address, DWORD size) {
  auto& device = TheDevice();
  if (address == device.window->Base() && device.flashMapped) {
    if (size != kFlashWindowSize)
      memory_device::Violation("flash window released with a bad size", size);
    device.flashMapped = false;
    return TRUE;
  }
  if (address == device.timerRegisters && device.timerMapped) {
    if (size != kTimerWindowSize)
      memory_device::Violation("timer window released with a bad size", size);
    device.timerMapped = false;
    return TRUE;
  }
  memory_device::Violation("release of a window that is not mapped", size);
}

WORD ReadRegister16(const volatile WORD* address) {
  return TheDevice().chip->Read(memory_device::FlashOffset(address));
}

void WriteRegister16(volatile WORD* address, WORD value) {
  auto& device = TheDevice();
  device.chip->Write(memory_device::FlashOffset(address), value);
  device.window->FollowChip();
}

DWORD ReadRegister32(const volatile DWORD* address) {
  auto& device = TheDevice();
  if (!device.timerMapped ||
      reinterpret_cast<const volatile BYTE*>(address) != device.timerRegisters + kTimerCounterOffset)
    memory_device::Violation("32-bit read other than the timer counter", 0);
  return device.clock.ReadCounter();
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

// ---- platform/dialog_framework.h: the window calls of the worker side ---------------------
LRESULT SendMessageW(HWND, UINT, WPARAM, LPARAM) {
  return 0;
}
BOOL SetWindowTextW(HWND, LPCWSTR) {
  return TRUE;
}
