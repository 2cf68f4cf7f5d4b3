#include "settings/settings_mutex.h"

#include "platform/core_library.h"

namespace {

HANDLE cfgMutex = nullptr;

}  // namespace

HANDLE SettingsMutex::Create() {
  // One handle per process: a second create while one is kept would leak the first.
  if (cfgMutex == nullptr) cfgMutex = CreateMutexW(nullptr, FALSE, u"CFG_SYN_OBJ");
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
