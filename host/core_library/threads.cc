// Threads: a std::thread per CreateThread, detached; its handle is signalled when it ends.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "host/core_library/handle_table.h"

namespace host {
namespace {

// The one creation flag that changes nothing here: the stack size is a reservation.
constexpr DWORD kStackSizeIsReservation = 0x00010000u;

std::atomic<DWORD> nextThreadId{1};

class ThreadObject : public KernelObject {
 public:
  ThreadObject() : KernelObject(ObjectKind::Thread) {}

  void Finish(DWORD exitCode) {
    {
      std::lock_guard guard(lock_);
      exitCode_ = exitCode;
      ended_ = true;
    }
    endedSignal_.notify_all();
  }

  DWORD Wait(DWORD milliseconds) override {
    std::unique_lock guard(lock_);
    if (milliseconds == INFINITE) {
      endedSignal_.wait(guard, [this] { return ended_; });
      return WAIT_OBJECT_0;
    }
    const bool ended = endedSignal_.wait_for(guard, std::chrono::milliseconds(milliseconds),
                                             [this] { return ended_; });
    return ended ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  }

 private:
  std::mutex lock_;
  std::condition_variable endedSignal_;
  bool ended_ = false;
  DWORD exitCode_ = 0;
};

}  // namespace
}  // namespace host

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES /*attributes*/, std::size_t /*stackSize*/,
                           LPTHREAD_START_ROUTINE startAddress, LPVOID parameter,
                           DWORD creationFlags, DWORD* threadId) {
  if (startAddress == nullptr || (creationFlags & ~host::kStackSizeIsReservation) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto object = std::make_shared<host::ThreadObject>();
  const DWORD id = host::nextThreadId.fetch_add(1);
  try {
    std::thread([object, startAddress, parameter] {
      object->Finish(startAddress(parameter));
    }).detach();
  } catch (const std::system_error&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (threadId != nullptr) *threadId = id;
  return host::OpenHandle(std::move(object));
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  if (milliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
