// CFG_SYN_OBJ, the named mutex that serialises whole settings-store cycles between processes.
// One handle per process, kept here. Waits have no time limit. The mutex is recursive for its
// owning thread, and a wait on one whose owner died returns WAIT_ABANDONED and owns it.
#pragma once

#include "platform/types.h"

inline constexpr WCHAR kSettingsMutexName[] = TEXT("CFG_SYN_OBJ");

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

// Takes CFG_SYN_OBJ (`settingsMutex`) and NOR_SYN_OBJ (`flashMutex`) together, one acquisition
// of each, without ever waiting for one of them while holding the other: it waits for one, tries
// the other without waiting, and when that one is busy gives the first back and waits for the
// other instead. Another process that takes the two in either order, or nests one inside the
// other, can therefore not deadlock with the caller (a caller that already holds one of them
// keeps that hold, and waits holding it). Returns WAIT_ABANDONED when both are held and either
// had been abandoned, WAIT_OBJECT_0 when both are held otherwise, and the failing wait's result
// (WAIT_FAILED for a null handle) holding neither when a wait fails.
[[nodiscard]] DWORD AcquireSettingsAndFlashMutexes(HANDLE settingsMutex, HANDLE flashMutex);
