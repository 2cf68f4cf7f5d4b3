#include "flash/nor_flash_mutex.h"

#include "platform/core_library.h"

namespace {

struct NorFlashMutexState {
  HANDLE handle;
  DWORD created;
};

constinit NorFlashMutexState mutexState = {nullptr, 0};

}  // namespace

HANDLE NorFlashMutex::Create() {
  if (mutexState.created) {
    return mutexState.handle;
  }
  // A failed create is kept as it is: later waits and releases then fail on the null handle.
  mutexState.handle = CreateMutexW(nullptr, FALSE, kNorFlashMutexName);
  mutexState.created = 1;
  return mutexState.handle;
}

DWORD NorFlashMutex::Acquire() {
  if (!mutexState.created) {
    Create();
  }
  return WaitForSingleObject(mutexState.handle, INFINITE);
}

void NorFlashMutex::Release() {
  if (mutexState.created) {
    ReleaseMutex(mutexState.handle);
  }
}

void NorFlashMutex::Close() {
  if (mutexState.created) {
    CloseHandle(mutexState.handle);
    mutexState.handle = nullptr;
    mutexState.created = 0;
  }
}

void NorFlashMutex::ReleaseAndClose() {
  Release();
  Close();
}
