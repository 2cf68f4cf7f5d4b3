// The handheld on Windows: what the device has beyond desktop Windows, which the Windows
// platform takes from this layer. The layer tells the framework which shell the device runs,
// and defines platform/'s calls that desktop Windows lacks: the shell library's start-up call
// and the per-tick call (platform/dialog_framework.h), the physical-memory windows and their
// registers (platform/physical_memory.h), the power status and the restart request
// (platform/core_library.h). Everything else is the platform's own kernel32 and user32.
//
// The desktop layer (desktop_shell.cc, desktop_handheld.cc) answers as a desktop machine without
// the handheld's hardware would: not a Pocket PC shell, no shell library to prepare, the
// desktop's idle timer, no physical memory to map, the desktop's power status, and a restart
// request that is refused. A program links another layer to run on a simulated device.
#pragma once

#include <string>

namespace windows {

// The device's shell: its platform type "PocketPC", "Smartphone" or another.
enum class Shell { PocketPC, Smartphone, Other };
Shell CurrentShell();

// The layer's part in a run of the program: StartRun before the application starts (false with
// a one-line reason when the run cannot start), EndRun with the exit status the program then
// ends with, as a POSIX caller sees it.
bool StartRun(std::string* error);
void EndRun(int status);

}  // namespace windows
