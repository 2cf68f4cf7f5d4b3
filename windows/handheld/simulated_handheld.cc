// The handheld's calls over the simulated device (sim/), for a program that runs whole updates
// on the bench: the physical-memory windows and registers (host/physical_memory, the same code
// as the POSIX host's) and the power status (host/core_library/power.cc) come with this layer;
// here are the shell library's calls and the restart request.
#include <cstdio>

#include "platform/core_library.h"
#include "platform/dialog_framework.h"
#include "sim/device.h"
#include "sim/system.h"
#include "windows/handheld/simulated_front_end.h"

// The simulated device's shell library needs nothing prepared.
BOOL InitializeShellControls() {
  return TRUE;
}

// The simulated device has no idle timer to reset.
void KeepDeviceAwake() {}

// The restart as the POSIX host makes it: journalled (and flushed) first, then the process ends
// at once, without destructors or exit handlers, as the device stops running it. A device whose
// fault plan refuses restarts sends the request back, and the caller goes on.
BOOL WINAPI KernelIoControl(DWORD ioControlCode, LPVOID /*inBuffer*/, DWORD /*inBufferSize*/,
                            LPVOID /*outBuffer*/, DWORD /*outBufferSize*/,
                            LPDWORD bytesReturned) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  if (ioControlCode != IOCTL_HAL_REBOOT) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if (!sim::JournalRestart(sim::CurrentDevice())) {
    SetLastError(ERROR_NOT_READY);
    return FALSE;
  }
  windows::RecordRestart();
  std::fflush(nullptr);
  sim::system::EndAbruptly(0);
}
