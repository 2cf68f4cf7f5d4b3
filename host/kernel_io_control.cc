#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "host/lifecycle.h"
#include "platform/core_library.h"
#include "sim/device.h"

BOOL KernelIoControl(DWORD ioControlCode, LPVOID /*inBuffer*/, DWORD /*inBufferSize*/,
                     LPVOID /*outBuffer*/, DWORD /*outBufferSize*/, DWORD* bytesReturned) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  if (ioControlCode != IOCTL_HAL_REBOOT) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  // The restart: journalled first (the journal is flushed to disk before this returns), then
  // the front end records it, then the process ends at once, as the device stops running it.
  // No destructors or exit handlers run, as none would on the device.
  sim::AppendJournal(sim::CurrentDevice(), R"({"event":"restart"})");
  if (const host::RestartObserver observer = host::CurrentRestartObserver()) observer();
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  ::_exit(0);
}
