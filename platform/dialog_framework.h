// The dialog framework: a small stand-in for the device's application framework, and the
// window calls of the core library that it and the system use.
//
// The window calls (SendMessageW, SetWindowTextW, SetTimer, LoadStringW ...) are the platform's,
// with its signatures; on a Windows target they are <windows.h>'s. Windows are addressed by
// HWND; a message sent to a control is synchronous (SendMessageW returns once the thread that
// owns the window has handled it). The framework's own calls have names of their own: the
// application message box, the resource instance, the application object, the modal dialog and
// its control objects. The program's resources (templates, strings, icons) are those of its
// resource script, app/resources/orvanta_update.rc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>

#include "platform/types.h"

#ifndef _WIN32

using TIMERPROC = void(CALLBACK*)(HWND window, UINT message, UINT_PTR timerId, DWORD time);
using WNDENUMPROC = BOOL(CALLBACK*)(HWND window, LPARAM data);

// Delivers the message to the window on the thread that owns it and waits for the result.
LRESULT WINAPI SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Asynchronous: queues the message for the thread that owns the window and returns at once.
BOOL WINAPI PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL WINAPI SetWindowTextW(HWND window, LPCWSTR text);

// Loads string resource `id` of `instance` into `buffer` (at most bufferMax - 1 units and a
// terminator). Returns the number of units copied, 0 when there is no such string. With
// bufferMax 0, `buffer` receives a read-only pointer to the text, which has no terminator, and
// the text's length is returned.
int WINAPI LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax);
// The icon group `name` (MAKEINTRESOURCEW(id)) of `instance`, null when there is none.
HICON WINAPI LoadIconW(HINSTANCE instance, LPCWSTR name);

// Window timers: WM_TIMER with wParam = timerId reaches the window every `elapse` ms on the
// thread that owns it. Setting an existing id restarts it. No timer routine is supported
// (timerProc must be null). SetTimer returns timerId, 0 on failure.
UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR timerId, UINT elapse, TIMERPROC timerProc);
BOOL WINAPI KillTimer(HWND window, UINT_PTR timerId);

// Top-level windows of every program on the device, for finding a running instance. Handles of
// windows of other processes stay valid until the next EnumWindows call.
BOOL WINAPI EnumWindows(WNDENUMPROC callback, LPARAM data);
DWORD WINAPI GetWindowThreadProcessId(HWND window, LPDWORD processId);
BOOL WINAPI IsWindowVisible(HWND window);
LONG WINAPI GetWindowLongW(HWND window, int index);
HWND WINAPI GetWindow(HWND window, UINT command);
int WINAPI GetClassNameW(HWND window, LPWSTR className, int maxCount);
// Brings the window and the windows it owns to the foreground.
BOOL WINAPI SetForegroundWindow(HWND window);

#endif  // !_WIN32

// The module that holds the program's resources (the program file), for LoadStringW and
// LoadIconW.
HINSTANCE AppInstance();

// The type the application message box shows for the `type` a caller passes: a type that names
// no icon gets the exclamation mark and comes to the foreground.
constexpr UINT AppMessageBoxStyle(UINT type) {
  return (type & MB_ICONMASK) == 0 ? type | MB_ICONEXCLAMATION | MB_SETFOREGROUND : type;
}

// The application message box: shows string resource `stringId` with AppMessageBoxStyle(type)
// (type MB_OK or MB_OKCANCEL), captioned with the application's name, the program file's name
// without its extension. Blocks the calling thread until the user answers and returns IDOK or
// IDCANCEL, or another value when the box could not be shown.
int AppMessageBox(UINT stringId, UINT type);

// A window object of the framework: a dialog, one of its controls, or a window of a test that
// handles its messages itself. The window calls take its Handle().
class Window {
 public:
  // A window of its own whose messages reach WindowProc: on the host the object itself (one
  // that belongs to no running dialog handles them on the sender's thread), on Windows a
  // message-only window of the platform.
  Window();
  virtual ~Window();
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  HWND Handle() const { return handle_; }
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) = 0;

 protected:
  // A window object whose window the platform makes later (a dialog's, from its template): no
  // handle until the framework attaches one.
  struct AttachedLater {};
  explicit Window(AttachedLater) : handle_(nullptr) {}
  void AttachHandle(HWND handle) { handle_ = handle; }

 private:
  HWND handle_;
};

// The application object. A program has exactly one, a global whose constructor makes it the
// process's application. The framework's program entry first enforces a single running instance
// (on Pocket PC and Smartphone shells), then runs InitInstance; when it returns FALSE the
// program ends without entering a message loop of its own.
class Application {
 public:
  Application() { Current() = this; }
  virtual ~Application() {
    if (Current() == this) Current() = nullptr;
  }
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  virtual BOOL InitInstance() { return TRUE; }

  // The registry key under which the application would keep its settings.
  void SetRegistryKey(LPCWSTR key) { registryKey_ = key; }
  LPCWSTR RegistryKey() const { return registryKey_; }

  Window* mainWindow = nullptr;

 private:
  friend Application* CurrentApplication();
  // Constant-initialised, so the application's global constructor may set it.
  static Application*& Current() {
    static constinit Application* current = nullptr;
    return current;
  }

  LPCWSTR registryKey_ = nullptr;
};
inline Application* CurrentApplication() {
  return Application::Current();
}

// Whether the user could be switched to the top-level window `window`, as the framework's
// single-instance rule takes one: visible, not a child, without an owner, not a tool window, and
// of none of the shell's own classes (the cursor, static text, the find box), whose names compare
// without regard to case.
inline bool IsSwitchableWindow(HWND window) {
  if (!IsWindowVisible(window)) return false;
  if ((static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)) & WS_CHILD) != 0) return false;
  if (GetWindow(window, GW_OWNER) != nullptr) return false;
  if ((static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE)) & WS_EX_TOOLWINDOW) != 0) {
    return false;
  }
  WCHAR className[64] = {};
  GetClassNameW(window, className, 64);
  const auto fold = [](WCHAR unit) {
    return unit >= 'a' && unit <= 'z' ? static_cast<WCHAR>(unit - 'a' + 'A') : unit;
  };
  for (LPCWSTR excluded : {TEXT("CursorWindow"), TEXT("static"), TEXT("shfind")}) {
    std::size_t at = 0;
    while (className[at] != 0 && fold(className[at]) == fold(excluded[at])) ++at;
    if (className[at] == 0 && excluded[at] == 0) return false;
  }
  return true;
}

// The shell library's start-up call: prepares the shell's extra controls for the program.
BOOL InitializeShellControls();
// The core library's call made while long work runs: resets the idle timer so that the device
// does not suspend.
void KeepDeviceAwake();

class ModalDialog;

// Exchange between a dialog and its control objects.
class DataExchange {
 public:
  DataExchange(ModalDialog* dialog, BOOL saveAndValidate)
      : dialog(dialog), saveAndValidate(saveAndValidate) {}
  ModalDialog* dialog;
  BOOL saveAndValidate;
};

// A control object: binds to the dialog's control of an id during data exchange.
class Control {
 public:
  HWND Handle() const { return window_; }
  void Attach(HWND window) { window_ = window; }

 private:
  HWND window_ = nullptr;
};
class StaticControl : public Control {};
class ProgressControl : public Control {};

// A modal dialog built from a dialog template of the program's resources. DoModal creates the
// window and its controls, runs OnInitDialog and then the dialog's message loop on the calling
// thread (which becomes the thread that owns the dialog and its controls) until EndDialog; it
// returns the EndDialog result or -1 when the dialog could not be made (no such template).
//
// WM_COMMAND with IDOK (the caption's OK button, Enter) calls OnOK, with IDCANCEL (Escape)
// OnCancel; WM_TIMER calls OnTimer, WM_SIZE OnSize.
class ModalDialog : public Window {
 public:
  ModalDialog(UINT templateId, HWND parent);
  ~ModalDialog() override;
  ModalDialog(const ModalDialog&) = delete;
  ModalDialog& operator=(const ModalDialog&) = delete;

  INT_PTR DoModal();
  void EndDialog(INT_PTR result);
  // Runs DoDataExchange: binds the control objects (saveAndValidate FALSE) or takes their data.
  BOOL UpdateData(BOOL saveAndValidate) {
    DataExchange exchange(this, saveAndValidate);
    DoDataExchange(&exchange);
    return TRUE;
  }
  HWND GetDlgItem(int controlId) const;

  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 protected:
  virtual void DoDataExchange(DataExchange* /*exchange*/) {}
  // Binds the controls (UpdateData(FALSE)) and, on a Pocket PC or Smartphone shell, sizes the
  // dialog to the full screen (with a Done button acting as OK on Pocket PC). Returns TRUE.
  virtual BOOL OnInitDialog();
  // Takes the controls' data, then ends the dialog with IDOK.
  virtual void OnOK() {
    UpdateData(TRUE);
    EndDialog(IDOK);
  }
  // Ends the dialog with IDCANCEL.
  virtual void OnCancel() { EndDialog(IDCANCEL); }
  virtual void OnTimer(UINT_PTR /*timerId*/) {}
  virtual void OnSize(UINT /*type*/, int /*width*/, int /*height*/) {}

  // Calls the handler of WM_COMMAND (IDOK, IDCANCEL), WM_TIMER or WM_SIZE; false for any other
  // message.
  bool RouteToHandler(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
      case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) OnOK();
        if (LOWORD(wParam) == IDCANCEL) OnCancel();
        return true;
      case WM_TIMER:
        OnTimer(static_cast<UINT_PTR>(wParam));
        return true;
      case WM_SIZE:
        OnSize(static_cast<UINT>(wParam), LOWORD(static_cast<UINT_PTR>(lParam)),
               HIWORD(static_cast<UINT_PTR>(lParam)));
        return true;
      default:
        return false;
    }
  }

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Binds `control` to the control `controlId` of the exchange's dialog (no-op when saving).
inline void BindControl(DataExchange* exchange, int controlId, Control& control) {
  if (exchange == nullptr || exchange->saveAndValidate) return;
  if (exchange->dialog != nullptr) control.Attach(exchange->dialog->GetDlgItem(controlId));
}
