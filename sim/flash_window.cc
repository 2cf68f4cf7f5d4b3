#include "sim/flash_window.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace sim {

// The process's one active window and the handler that was installed before ours.
struct WindowFaults {
  static std::atomic<FlashWindow*> active;
  static struct sigaction previous;

  static void Install() {
    static std::once_flag installed;
    std::call_once(installed, [] {
      struct sigaction action {};
      action.sa_sigaction = &Handle;
      action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
      sigemptyset(&action.sa_mask);
      ::sigaction(SIGSEGV, &action, &previous);
    });
  }

  static void Handle(int signal, siginfo_t* info, void* context) {
    FlashWindow* window = active.load(std::memory_order_acquire);
    if (window != nullptr && window->Contains(info->si_addr, 1)) {
      if (window->Answer(info->si_addr)) return;
      std::abort();
    }
    // Not ours: the earlier handler, or the default action when the access is retried.
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
      previous.sa_sigaction(signal, info, context);
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
      previous.sa_handler(signal);
    } else {
      ::sigaction(SIGSEGV, &previous, nullptr);
    }
  }
};

std::atomic<FlashWindow*> WindowFaults::active{nullptr};
struct sigaction WindowFaults::previous {};

namespace {

// One line on standard error from inside the fault handler (no allocation).
void Say(const char* text) {
  const std::size_t length = std::strlen(text);
  if (::write(STDERR_FILENO, text, length) < 0) return;
}

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

std::unique_ptr<FlashWindow> FlashWindow::Map(int descriptor, std::uint64_t arrayBytes,
                                              std::size_t windowBytes, std::string* error) {
  const auto fail = [&](const char* what) -> std::unique_ptr<FlashWindow> {
    if (error) *error = std::string("flash window: ") + what + ": " + std::strerror(errno);
    return nullptr;
  };
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  void* area =
      ::mmap(nullptr, windowBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) return fail("cannot reserve");
  std::unique_ptr<FlashWindow> window(new FlashWindow);
  window->base_ = static_cast<std::uint8_t*>(area);
  window->size_ = windowBytes;
  std::memset(area, 0xFF, windowBytes);
  if (::mprotect(area, windowBytes, PROT_READ) != 0) return fail("cannot protect");
  const std::uint64_t shownBytes = arrayBytes < windowBytes ? arrayBytes : windowBytes;
  // Rounded up to whole pages: the bytes of the last page past the end of the array read 0.
  const std::size_t shared = static_cast<std::size_t>((shownBytes + page - 1) / page * page);
  if (shared != 0 &&
      ::mmap(area, shared, PROT_READ, MAP_SHARED | MAP_FIXED, descriptor, 0) == MAP_FAILED)
    return fail("cannot map the array");
  WindowFaults::Install();
  return window;
}

FlashWindow::~FlashWindow() {
  FlashWindow* self = this;
  WindowFaults::active.compare_exchange_strong(self, nullptr);
  if (base_ != nullptr) ::munmap(base_, size_);
}

void FlashWindow::Activate(const NorChip* chip) {
  {
    Changing changing(changing_);
    chip_ = chip;
    if (hidden_.load(std::memory_order_relaxed)) {
      ::mprotect(base_, size_, PROT_READ);
      hidden_.store(false, std::memory_order_relaxed);
    }
  }
  WindowFaults::active.store(this, std::memory_order_release);
  FollowChip();
}

void FlashWindow::Hide() {
  Changing changing(changing_);
  if (hidden_.load(std::memory_order_relaxed)) return;
  if (::mprotect(base_, size_, PROT_NONE) == 0) hidden_.store(true, std::memory_order_relaxed);
}

bool FlashWindow::Answer(const void* address) {
  const auto offset = static_cast<unsigned long>(static_cast<const std::uint8_t*>(address) - base_);
  char line[200];
  {
    Changing changing(changing_);
    const NorChip::Mode mode = chip_ != nullptr ? chip_->CurrentMode() : NorChip::Mode::ReadArray;
    if (hidden_.load(std::memory_order_relaxed)) {
      if (mode == NorChip::Mode::ReadArray) {
        ::mprotect(base_, size_, PROT_READ);
        hidden_.store(false, std::memory_order_relaxed);
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
  Say(line);
  return false;
}

}  // namespace sim
