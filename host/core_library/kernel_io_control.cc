#include <unistd.h>

#include <algorithm>
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
  // A device whose fault plan refuses the restart: the request comes back, as it does on a
  // device whose kernel cannot restart, and the caller goes on. A device.json that cannot be
  // read refuses nothing.
  const sim::DevicePaths device = sim::CurrentDevice();
  if (const sim::Loaded<sim::DeviceConfig> config = sim::LoadDeviceConfig(device)) {
    const std::vector<sim::Fault>& faults = config.value->faults;
    if (std::any_of(faults.begin(), faults.end(), [](const sim::Fault& fault) {
          return fault.kind == sim::FaultKind::RestartFails;
        })) {
      sim::AppendJournal(device, R"({"event":"restart_refused"})");
      SetLastError(ERROR_NOT_READY);
      return FALSE;
    }
  }
  // The restart: journalled first (the journal is flushed to disk before this returns), then
  // the front end records it, then the process ends at once, as the device stops running it.
  // No destructors or exit handlers run, as none would on the device.
  sim::AppendJournal(device, R"({"event":"restart"})");
  if (const host::RestartObserver observer = host::CurrentRestartObserver()) observer();
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  ::_exit(0);
}
