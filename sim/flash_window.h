// The flash window as a program sees it: a read-only view of the chip's array whose reads follow
// the chip's mode, as on the part, where the array is readable only in read-array mode.
//
// The window maps the chip's array (nor.bin, or an in-memory chip's MemoryArray) read-only at
// its start; bytes past the array read 0xFF (0 in the rest of the array's last page). When the
// chip leaves read-array mode (any command but read array, or an operation that runs), the
// window's pages are made inaccessible, once: FollowChip() after every bus write does it only
// when they are still readable. The next read of the window faults; the fault handler makes the
// pages readable again and lets the read retry when the chip is back in read-array mode, and
// otherwise ends the process with one line that names the chip's mode and the offset. So a
// program loop of many words costs two page-protection changes, not two per word, and a driver
// that reads array data after a status command, or while an operation runs, fails loudly
// instead of reading what the part would not give. A store into the window ends the process the
// same way ("write to the flash window").
//
// One window is active per process at a time. The fault handler is installed with the first
// window and passes faults outside the window on to the handler that was installed before it
// (a sanitizer's or a fuzzer's), or to the default action.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "sim/nor_chip.h"
#include "sim/system.h"

namespace sim {

class FlashWindow {
 public:
  // Maps the array of `array` (`arrayBytes` bytes) into a window of `windowBytes` bytes.
  // Null on failure, with a one-line reason in `error`.
  static std::unique_ptr<FlashWindow> Map(system::ArrayHandle array, std::uint64_t arrayBytes,
                                          std::size_t windowBytes, std::string* error);
  ~FlashWindow();
  FlashWindow(const FlashWindow&) = delete;
  FlashWindow& operator=(const FlashWindow&) = delete;

  std::uint8_t* Base() const { return base_; }
  std::size_t Size() const { return size_; }
  bool Contains(const volatile void* address, std::size_t width) const {
    const auto* byte = static_cast<const volatile std::uint8_t*>(address);
    return byte >= base_ && byte + width <= base_ + size_;
  }

  // Makes this the window whose faults the handler answers, following `chip` (null: none;
  // the window is then readable and stays so).
  void Activate(const NorChip* chip);
  // After a bus write: hides the window when the chip has left read-array mode.
  void FollowChip() {
    if (!hidden_.load(std::memory_order_relaxed) && chip_ != nullptr &&
        chip_->CurrentMode() != NorChip::Mode::ReadArray)
      Hide();
  }
  bool Hidden() const { return hidden_.load(std::memory_order_relaxed); }

 private:
  FlashWindow() = default;
  void Hide();
  // The fault handler's part: true when the fault at `address` was a read that may retry.
  bool Answer(const void* address);
  void Protect(bool readable);
  static system::FaultAnswer AnswerFault(const void* address);

  std::uint8_t* base_ = nullptr;
  std::size_t size_ = 0;
  std::uint64_t arrayBytes_ = 0;
  const NorChip* chip_ = nullptr;
  std::atomic<bool> hidden_{false};
  std::atomic_flag changing_ = ATOMIC_FLAG_INIT;  // held while the protection changes
};

}  // namespace sim
