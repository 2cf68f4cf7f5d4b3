// The application message box over the platform's MessageBoxW.
#include <iterator>

#include "platform/dialog_framework.h"
#include "windows/dialog_framework/program.h"

int AppMessageBox(UINT stringId, UINT type) {
  WCHAR text[1024];
  LoadStringW(AppInstance(), stringId, text, static_cast<int>(std::size(text)));
  // A box shown by the thread that runs the main window is owned by it; one from another thread
  // (the worker's) has none, so that the dialog's thread goes on serving it while the box waits.
  HWND owner = nullptr;
  if (const Application* application = CurrentApplication();
      application != nullptr && application->mainWindow != nullptr) {
    HWND main = application->mainWindow->Handle();
    if (main != nullptr && GetWindowThreadProcessId(main, nullptr) == GetCurrentThreadId()) {
      owner = main;
    }
  }
  return MessageBoxW(owner, text, windows::ApplicationName().c_str(), AppMessageBoxStyle(type));
}
