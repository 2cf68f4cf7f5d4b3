// The application message box over the platform's MessageBoxW.
#include <iterator>
#include <map>
#include <mutex>

#include "platform/dialog_framework.h"
#include "windows/dialog_framework/message_box_watcher.h"
#include "windows/dialog_framework/program.h"

namespace {

// The boxes AppMessageBox shows now, by the thread that shows each: what the program asked for,
// which the box itself does not show.
struct ProgramBox {
  UINT stringId;
  UINT typePassed;
};
std::mutex programBoxesMutex;
std::map<DWORD, ProgramBox> programBoxes;

}  // namespace

bool windows::ProgramBoxOf(DWORD threadId, UINT* stringId, UINT* typePassed) {
  std::lock_guard lock(programBoxesMutex);
  const auto box = programBoxes.find(threadId);
  if (box == programBoxes.end()) return false;
  *stringId = box->second.stringId;
  *typePassed = box->second.typePassed;
  return true;
}

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
  {
    std::lock_guard lock(programBoxesMutex);
    programBoxes[GetCurrentThreadId()] = ProgramBox{stringId, type};
  }
  const int answer =
      MessageBoxW(owner, text, windows::ApplicationName().c_str(), AppMessageBoxStyle(type));
  std::lock_guard lock(programBoxesMutex);
  programBoxes.erase(GetCurrentThreadId());
  return answer;
}
