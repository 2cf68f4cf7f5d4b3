#include "sim/flash_window.h"

#include <cstdio>

namespace sim {

namespace {

// The process's one active window.
std::atomic<FlashWindow*> activeWindow{nullptr};

class Changing {
 public:
  explicit Changing(std::atomic_flag& flag) : flag_(flag) {
    while (flag_.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~Changing() { flag_.clear(std::memory_order_release); }

 private:
  std::atomic_flag& flag_;
};

// The address of the last fault this thread let retry with the window readable: a second fault
// there is a store.
thread_local const void* lastRetried = nullptr;

}  // namespace

system::FaultAnswer FlashWindow::AnswerFault(const void* address) {
  FlashWindow* window = activeWindow.load(std::memory_order_acquire);
  if (window == nullptr || !window->Contains(address, 1)) return system::FaultAnswer::NotOurs;
  return window->Answer(address) ? system::FaultAnswer::Retry : system::FaultAnswer::Fatal;
}

std::unique_ptr<FlashWindow> FlashWindow::Map(system::ArrayHandle array, std::uint64_t arrayBytes,
                                              std::size_t windowBytes, std::string* error) {
  std::uint8_t* base = system::MapWindow(array, arrayBytes, windowBytes, error);
  if (base == nullptr) return nullptr;
  std::unique_ptr<FlashWindow> window(new FlashWindow);
  window->base_ = base;
  window->size_ = windowBytes;
  window->arrayBytes_ = arrayBytes;
  system::InstallFaultHandler(&FlashWindow::AnswerFault);
  return window;
}

FlashWindow::~FlashWindow() {
  FlashWindow* self = this;
  activeWindow.compare_exchange_strong(self, nullptr);
  system::UnmapWindow(base_, arrayBytes_, size_);
}

void FlashWindow::Protect(bool readable) {
  if (system::ProtectWindow(base_, arrayBytes_, size_, readable))
    hidden_.store(!readable, std::memory_order_relaxed);
}

void FlashWindow::Activate(const NorChip* chip) {
  {
    Changing changing(changing_);
    chip_ = chip;
    if (hidden_.load(std::memory_order_relaxed)) Protect(true);
  }
  activeWindow.store(this, std::memory_order_release);
  FollowChip();
}

void FlashWindow::Hide() {
  Changing changing(changing_);
  if (hidden_.load(std::memory_order_relaxed)) return;
  Protect(false);
}

bool FlashWindow::Answer(const void* address) {
  const auto offset = static_cast<unsigned long>(static_cast<const std::uint8_t*>(address) - base_);
  char line[200];
  {
    Changing changing(changing_);
    const NorChip::Mode mode = chip_ != nullptr ? chip_->CurrentMode() : NorChip::Mode::ReadArray;
    if (hidden_.load(std::memory_order_relaxed)) {
      if (mode == NorChip::Mode::ReadArray) {
        Protect(true);
        lastRetried = address;
        return true;
      }
      std::snprintf(line, sizeof line,
                    "orvanta: read of the flash window at offset 0x%lX while the chip is in %s "
                    "mode; array data reads only in read-array mode\n",
                    offset, NorChip::ModeName(mode));
    } else if (lastRetried != address) {
      // Another thread made the window readable between this fault and now.
      lastRetried = address;
      return true;
    } else {
      std::snprintf(line, sizeof line,
                    "orvanta: write to the flash window at offset 0x%lX; the array changes "
                    "only through flash commands\n",
                    offset);
    }
  }
  system::SayFromHandler(line);
  return false;
}

}  // namespace sim
