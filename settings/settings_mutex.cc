#include "settings/settings_mutex.h"

#include "platform/core_library.h"

namespace {

HANDLE cfgMutex = nullptr;

}  // namespace

HANDLE SettingsMutex::Create() {
  // One handle per process: a second create while one is kept would leak the first.
  if (cfgMutex == nullptr) cfgMutex = CreateMutexW(nullptr, FALSE, kSettingsMutexName);
  return cfgMutex;
}

DWORD SettingsMutex::Acquire() {
  return WaitForSingleObject(cfgMutex, INFINITE);
}

void SettingsMutex::Release() {
  if (cfgMutex != nullptr) ReleaseMutex(cfgMutex);
}

void SettingsMutex::Close() {
  if (cfgMutex != nullptr) CloseHandle(cfgMutex);
  cfgMutex = nullptr;
}

namespace {

bool Taken(DWORD wait) {
  return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

}  // namespace

DWORD AcquireSettingsAndFlashMutexes(HANDLE settingsMutex, HANDLE flashMutex) {
  HANDLE first = settingsMutex;
  HANDLE second = flashMutex;
  for (;;) {
    const DWORD firstWait = WaitForSingleObject(first, INFINITE);
    if (!Taken(firstWait)) return firstWait;
    const DWORD secondWait = WaitForSingleObject(second, 0);
    if (Taken(secondWait)) {
      return firstWait == WAIT_ABANDONED || secondWait == WAIT_ABANDONED ? WAIT_ABANDONED
                                                                         : WAIT_OBJECT_0;
    }
    ReleaseMutex(first);
    if (secondWait != WAIT_TIMEOUT) return secondWait;
    // Wait for the busy one next, holding nothing.
    const HANDLE busy = second;
    second = first;
    first = busy;
  }
}
