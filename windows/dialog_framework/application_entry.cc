// The framework's program entry: the single-instance rule on Pocket PC and Smartphone shells,
// then the application's start-up step.
#include <iterator>
#include <string>

#include "platform/dialog_framework.h"
#include "windows/dialog_framework/program.h"
#include "windows/handheld/handheld.h"

namespace windows {
namespace {

HANDLE instanceMutex = nullptr;  // open for the life of the process, so that the name exists

struct InstanceSearch {
  DWORD self = 0;
  std::wstring program;
  HWND found = nullptr;
};

// Whether the process `processId` runs the program file `program`.
bool RunsProgram(DWORD processId, const std::wstring& program) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  if (process == nullptr) return false;
  WCHAR image[MAX_PATH * 2];
  DWORD length = static_cast<DWORD>(std::size(image));
  const BOOL read = QueryFullProcessImageNameW(process, 0, image, &length);
  CloseHandle(process);
  return read && CompareStringOrdinal(image, -1, program.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The first top-level window of another process running this program that the user could be
// switched to.
BOOL CALLBACK TakeRunningInstanceWindow(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<InstanceSearch*>(data);
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  if (processId == search->self || !IsSwitchableWindow(window)) return TRUE;
  if (!RunsProgram(processId, search->program)) return TRUE;
  search->found = window;
  return FALSE;
}

// True when another instance runs and was brought to the foreground.
bool BringRunningInstanceForward() {
  const std::wstring program = ProgramPath();
  // The mutex is named after the program's path; the platform's names take no backslash.
  std::wstring name = program;
  for (WCHAR& unit : name) {
    if (unit == L'\\') unit = L'/';
  }
  SetLastError(ERROR_SUCCESS);
  instanceMutex = CreateMutexW(nullptr, FALSE, name.c_str());
  if (instanceMutex == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) return false;
  // The other instance may still be starting: look for its window for up to 10 s, waiting at
  // idle priority in between.
  constexpr int kAttempts = 40;
  constexpr DWORD kAttemptInterval = 250;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    InstanceSearch search{GetCurrentProcessId(), program, nullptr};
    EnumWindows(TakeRunningInstanceWindow, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) {
      // Its owned windows (a message box it shows) come to the front with it.
      SetForegroundWindow(search.found);
      return true;
    }
    const int priority = GetThreadPriority(GetCurrentThread());
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);
    Sleep(kAttemptInterval);
    SetThreadPriority(GetCurrentThread(), priority);
  }
  return false;
}

}  // namespace

int RunApplication() {
  if (CurrentShell() != Shell::Other && BringRunningInstanceForward()) {
    return kSecondInstanceExitCode;
  }
  Application* application = CurrentApplication();
  // A start-up step that returns TRUE would enter the application's message loop; with no
  // window left there is nothing for it to serve, so the program ends either way.
  if (application != nullptr) application->InitInstance();
  return 0;
}

}  // namespace windows
