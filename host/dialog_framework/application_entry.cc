// The framework's program entry: the single-instance check on Pocket PC and Smartphone shells,
// then the application's start-up step.
#include <signal.h>
#include <unistd.h>

#include "host/dialog_framework/front_end.h"
#include "host/dialog_framework/message_loop.h"
#include "host/dialog_framework/window_registry.h"
#include "platform/core_library.h"

namespace host {
namespace {

HANDLE instanceMutex = nullptr;  // open for the life of the process

void ForwardForegroundRequest(int) {
  MessageLoop::Instance().WakeForForeground();
}

// The first top-level window of another process running this program that the user could be
// switched to.
BOOL CALLBACK TakeRunningInstanceWindow(HWND window, LPARAM data) {
  auto* found = reinterpret_cast<HWND*>(data);
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  if (processId == static_cast<DWORD>(getpid())) return TRUE;
  if (RegisteredProgram(window) != ProgramPath() || !IsSwitchableWindow(window)) return TRUE;
  *found = window;
  return FALSE;
}

}  // namespace

int RunApplication() {
  MessageLoop::Instance();  // before the handler, which must not construct it
  struct sigaction action = {};
  action.sa_handler = ForwardForegroundRequest;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGUSR1, &action, nullptr);

  if (CurrentShell() != sim::Shell::Other) {
    std::u16string name = DialogTextFromUtf8(ProgramPath());
    for (char16_t& unit : name) {
      if (unit == u'\\') unit = u'/';
    }
    SetLastError(ERROR_SUCCESS);
    instanceMutex = CreateMutexW(nullptr, FALSE, name.c_str());
    if (instanceMutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
      // The other instance may still be starting: look for its window for up to 10 s.
      constexpr int kAttempts = 40;
      constexpr DWORD kAttemptInterval = 250;
      for (int attempt = 0; attempt < kAttempts; ++attempt) {
        HWND found = nullptr;
        EnumWindows(TakeRunningInstanceWindow, reinterpret_cast<LPARAM>(&found));
        if (found != nullptr) {
          SetForegroundWindow(found);
          return kSecondInstanceExitCode;
        }
        Sleep(kAttemptInterval);
      }
    }
  }

  Application* application = CurrentApplication();
  if (application != nullptr) application->InitInstance();
  // A start-up step that returns TRUE would enter the application's message loop; with no
  // window left there is nothing for it to serve, so the program ends either way.
  return 0;
}

}  // namespace host
