#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "host/core_library/lifecycle.h"
#include "platform/core_library.h"
#include "sim/device.h"

BOOL KernelIoControl(DWORD ioControlCode, LPVOID /*inBuffer*/, DWORD /*inBufferSize*/,
                     LPVOID /*outBuffer*/, DWORD /*outBufferSize*/, DWORD* bytesReturned) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  if (ioControlCode != IOCTL_HAL_REBOOT) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  // A device whose fault plan refuses the restart: the request comes back and the caller goes
  // on. Otherwise the restart is journalled first (flushed to disk before this returns), then
  // the front end records it, then the process ends at once, as the device stops running it.
  // No destructors or exit handlers run, as none would on the device.
  if (!sim::JournalRestart(sim::CurrentDevice())) {
    SetLastError(ERROR_NOT_READY);
    return FALSE;
  }
  if (const host::RestartObserver observer = host::CurrentRestartObserver()) observer();
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  ::_exit(0);
}
