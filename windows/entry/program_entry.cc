// wWinMain of a program on the Windows framework: runs the framework's program entry and turns
// its outcome into the program's exit code:
//   -1  another instance ran and was brought to the foreground (255 as a POSIX exit status)
//   1   the dialog closed: every way the update returns is a failed update
#include "platform/dialog_framework.h"
#include "windows/dialog_framework/program.h"

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPWSTR /*commandLine*/,
                    int /*show*/) {
  constexpr int kFailedUpdate = 1;
  const int code = windows::RunApplication();
  return code == windows::kSecondInstanceExitCode ? code : kFailedUpdate;
}
