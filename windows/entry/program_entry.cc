// wWinMain of a program on the Windows framework: runs the framework's program entry and turns
// its outcome into the program's exit code:
//   -1  another instance ran and was brought to the foreground (255 as a POSIX exit status)
//   1   the dialog closed: every way the update returns is a failed update
//   2   the run could not start (one line on standard error)
// A run that ends in a restart ends inside KernelIoControl, with 0.
#include <cstdio>
#include <string>

#include "platform/dialog_framework.h"
#include "windows/dialog_framework/program.h"
#include "windows/handheld/handheld.h"

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPWSTR /*commandLine*/,
                    int /*show*/) {
  constexpr int kFailedUpdate = 1;
  constexpr int kRunFailed = 2;
  std::string error;
  if (!windows::StartRun(&error)) {
    std::fprintf(stderr, "OrvantaUpdate: %s\n", error.c_str());
    return kRunFailed;
  }
  const int code = windows::RunApplication();
  const int status = code == windows::kSecondInstanceExitCode ? code : kFailedUpdate;
  windows::EndRun(status & 0xFF);
  return status;
}
