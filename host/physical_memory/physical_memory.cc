// The physical-memory windows of the host bench, over the simulated hardware of sim/nor_chip.h.
//
// Flash window (physical 0, 2 MiB): a read-only shared mapping of the device's nor.bin
// (sim/flash_window.h), so array contents are read with ordinary memory copies, only in
// read-array mode, and a stray store faults. The chip model writes nor.bin through its own
// mapping; the register functions carry commands and status between the driver and the chip.
//
// Timer window (physical 0x40A00000, 0xE0 bytes): read-only zero bytes; ReadRegister32 of the
// word at offset 0x10 reads the simulated counter, every other register reads 0.
//
// Portable C++ over sim/: the POSIX host and the Windows layer over the simulated device both
// build it.
//
// Each window is mapped once; a second GetPointer of the same range returns the same mapping
// and needs its own ReleasePointer. Register accesses are serialised by one lock, so the chip
// sees whole bus cycles even when two threads touch the flash. The lock is a spin lock: it is
// held for one simulated bus cycle, and programming takes it millions of times.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/physical_memory.h"
#include "sim/flash_window.h"
#include "sim/nor_chip.h"

namespace {

struct Window {
  // The flash window's mapping, owned here. A plain pointer keeps Windows trivially destructible,
  // so State() needs no initialisation guard on every register access.
  sim::FlashWindow* flash = nullptr;
  std::uint8_t* base = nullptr;
  DWORD size = 0;
  DWORD users = 0;
  bool Contains(const volatile void* address, std::size_t width) const {
    const auto* byte = static_cast<const volatile std::uint8_t*>(address);
    return base != nullptr && byte >= base && byte + width <= base + size;
  }
  DWORD OffsetOf(const volatile void* address) const {
    return static_cast<DWORD>(static_cast<const volatile std::uint8_t*>(address) - base);
  }
};

class SpinLock {
 public:
  void lock() {
    while (held_.exchange(true, std::memory_order_acquire)) {
      while (held_.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
  }
  void unlock() { held_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> held_{false};
};

struct Windows {
  SpinLock lock;
  Window flash;
  Window timer;
};

Windows& State() {
  static Windows windows;
  return windows;
}

// The timer window's bytes: constant, so a stray store faults as it would on a read-only page.
alignas(16) const std::uint8_t kTimerBytes[kTimerWindowSize] = {};

void Report(const std::string& what) {
  std::fprintf(stderr, "orvanta: %s\n", what.c_str());
}

}  // namespace

void* GetPointer(DWORD physicalAddress, DWORD size) {
  Windows& windows = State();
  std::lock_guard<SpinLock> guard(windows.lock);
  std::string error;
  if (physicalAddress == kFlashPhysicalAddress && size == kFlashWindowSize) {
    if (windows.flash.users != 0) {
      ++windows.flash.users;
      return windows.flash.base;
    }
    sim::NorChip* chip = sim::AttachFlash(&error);
    if (chip == nullptr) {
      Report(error);
      return nullptr;
    }
    std::unique_ptr<sim::FlashWindow> mapped =
        sim::FlashWindow::Map(chip->ArrayHandle(), chip->ArrayBytes(), size, &error);
    if (mapped == nullptr) {
      Report(chip->Device().Nor().string() + ": " + error);
      return nullptr;
    }
    mapped->Activate(chip);
    std::uint8_t* base = mapped->Base();
    windows.flash = Window{mapped.release(), base, size, 1};
    return base;
  }
  if (physicalAddress == kTimerPhysicalAddress && size == kTimerWindowSize) {
    if (windows.timer.users != 0) {
      ++windows.timer.users;
      return windows.timer.base;
    }
    if (sim::AttachTimer(&error) == nullptr) {
      Report(error);
      return nullptr;
    }
    auto* area = const_cast<std::uint8_t*>(kTimerBytes);
    windows.timer = Window{nullptr, area, size, 1};
    return area;
  }
  return nullptr;
}

BOOL ReleasePointer(void* address, DWORD size) {
  Windows& windows = State();
  std::lock_guard<SpinLock> guard(windows.lock);
  Window* window = nullptr;
  if (address != nullptr && address == windows.flash.base && size == windows.flash.size) {
    window = &windows.flash;
  } else if (address != nullptr && address == windows.timer.base && size == windows.timer.size) {
    window = &windows.timer;
  } else {
    return FALSE;
  }
  if (--window->users != 0) return TRUE;
  if (window == &windows.flash) sim::DetachFlash();
  delete window->flash;
  *window = Window{};
  return TRUE;
}

WORD ReadRegister16(const volatile WORD* address) {
  Windows& windows = State();
  std::lock_guard<SpinLock> guard(windows.lock);
  sim::NorChip* chip = sim::ProcessChip();
  if (chip == nullptr || !windows.flash.Contains(address, sizeof(WORD))) return 0xFFFF;
  return chip->Read(windows.flash.OffsetOf(address));
}

void WriteRegister16(volatile WORD* address, WORD value) {
  Windows& windows = State();
  std::lock_guard<SpinLock> guard(windows.lock);
  sim::NorChip* chip = sim::ProcessChip();
  if (chip == nullptr || !windows.flash.Contains(address, sizeof(WORD))) return;
  chip->Write(windows.flash.OffsetOf(address), value);
  windows.flash.flash->FollowChip();
}

DWORD ReadRegister32(const volatile DWORD* address) {
  Windows& windows = State();
  std::lock_guard<SpinLock> guard(windows.lock);
  if (!windows.timer.Contains(address, sizeof(DWORD))) return 0;
  if (windows.timer.OffsetOf(address) != kTimerCounterOffset) return 0;
  return sim::ProcessClock().ReadCounter();
}
