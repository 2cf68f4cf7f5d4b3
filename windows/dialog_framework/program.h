// The program the Windows framework runs (internal to windows/).
#pragma once

#include <string>

#include "platform/dialog_framework.h"

namespace windows {

// The program file's full path, and the application's name: the file name without its
// extension ("OrvantaUpdate" for "...\OrvantaUpdate.exe").
std::wstring ProgramPath();
std::wstring ApplicationName();

// A window's text as the window gives it.
std::wstring WindowText(HWND window);

// The framework's program entry: enforces a single instance on Pocket PC and Smartphone shells
// and runs the application's start-up step. Returns kSecondInstanceExitCode when another
// instance was brought to the foreground instead, 0 otherwise.
inline constexpr int kSecondInstanceExitCode = -1;
int RunApplication();

}  // namespace windows
