// CFG_SYN_OBJ, the named mutex that serialises whole settings-store cycles between processes.
// One handle per process, kept here. Waits have no time limit. The mutex is recursive for its
// owning thread, and a wait on one whose owner died returns WAIT_ABANDONED and owns it.
#pragma once

#include "platform/types.h"

class SettingsMutex {
 public:
  // CreateMutexW(no security attributes, not initially owned, "CFG_SYN_OBJ"); keeps the handle
  // (null when creation failed) and returns it.
  static HANDLE Create();
  // WaitForSingleObject(handle, INFINITE); returns the wait's result.
  static DWORD Acquire();
  // ReleaseMutex(handle).
  static void Release();
  // CloseHandle(handle), then forgets it. Nothing happens when no handle is kept.
  static void Close();
};
