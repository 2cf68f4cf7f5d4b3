// Process-level hooks of the host platform.
#pragma once

#include <string>

namespace host {

// Checks that the device directory of this process ($ORVANTA_DEVICE, default ./device) exists
// and that its device.json loads. On failure fills `error` with one line naming the file and
// the field and returns false; the program then ends with status 2.
bool StartPlatform(std::string* error);

// Called by KernelIoControl(IOCTL_HAL_REBOOT) after the restart is journalled and just before
// the process ends with status 0, so a front end can record the restart and the exit.
using RestartObserver = void (*)();
void SetRestartObserver(RestartObserver observer);
RestartObserver CurrentRestartObserver();

}  // namespace host
