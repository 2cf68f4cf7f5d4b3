// NOR_SYN_OBJ, the system-wide named mutex that serialises flash command sequences between
// processes. The process holds at most one handle: a create flag and the handle are kept in
// process-wide state, used from one thread. The platform mutex is recursive for its owning
// thread, so the settings store's acquisitions nest inside the update procedure's; every
// Acquire needs its own Release. Only the outermost user closes the handle.
#pragma once

#include "platform/types.h"

inline constexpr WCHAR kNorFlashMutexName[] = TEXT("NOR_SYN_OBJ");

class NorFlashMutex {
 public:
  // Returns the kept handle when one was created; otherwise CreateMutexW(no attributes, not
  // owned, NOR_SYN_OBJ), keeping whatever it returned (null included) and setting the flag.
  static HANDLE Create();
  // Creates the handle when needed, then waits for the mutex without a time limit; the result
  // of WaitForSingleObject.
  static DWORD Acquire();
  // ReleaseMutex on the kept handle, when there is one.
  static void Release();
  // CloseHandle on the kept handle, when there is one, and forgets it.
  static void Close();
  // Release, then Close.
  static void ReleaseAndClose();
};
