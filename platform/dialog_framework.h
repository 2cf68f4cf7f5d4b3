// The dialog framework: a small stand-in for the device's application framework, and the
// window calls of the core library that it and the system use.
//
// The window calls (SendMessageW, SetWindowTextW, SetTimer, LoadStringW ...) are the platform's,
// with its signatures; on a Windows target they are <windows.h>'s. Windows are addressed by
// HWND; a message sent to a control is synchronous (SendMessageW returns once the thread that
// owns the window has handled it). The framework's own calls have names of their own: the
// application message box, the resource instance, resource tables, the application object, the
// modal dialog and its control objects.
#pragma once

#include <cstdint>
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
// terminator). Returns the number of units copied, 0 when there is no such string.
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

// The module that holds the program's resources, for LoadStringW and LoadIconW.
HINSTANCE AppInstance();

// The application message box: shows string resource `stringId` with `type` (MB_OK or
// MB_OKCANCEL; MB_ICONEXCLAMATION and MB_SETFOREGROUND are added when the type names no icon),
// captioned with the application's name. Blocks the calling thread until the user answers and
// returns IDOK or IDCANCEL, or another value when the box could not be shown.
int AppMessageBox(UINT stringId, UINT type);

// A window object of the framework: a dialog, one of its controls, or a window of a test that
// handles its messages itself (one that belongs to no running dialog handles them on the
// sender's thread). The window calls take its Handle().
class Window {
 public:
  Window();
  virtual ~Window();
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  HWND Handle() const { return handle_; }
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) = 0;

 private:
  HWND handle_;
};

// Resources. The program registers its resource table once (before the start-up step); the
// framework keeps only the pointer, so the table and everything it points to must be static.
struct StringResource {
  UINT id;
  LPCWSTR text;
};

// One control of a dialog template. Sizes and positions are in dialog units (a quarter of the
// font's average character width horizontally, an eighth of its height vertically).
struct DialogItemTemplate {
  WORD id;
  LPCWSTR className;  // "static" or "msctls_progress32"
  LPCWSTR text;
  short x, y, width, height;
  DWORD style;
  DWORD exStyle;
};

struct DialogTemplate {
  WORD id;
  DWORD style;
  DWORD exStyle;
  short x, y, width, height;
  LPCWSTR title;
  LPCWSTR fontName;
  WORD pointSize;
  const DialogItemTemplate* items;  // in creation order
  UINT itemCount;
};

// An icon group, stored as the bytes of an icon file: the directory of its images followed by
// each image (bitmap header, palette, colour bits, transparency mask).
struct IconGroup {
  WORD id;
  const BYTE* data;
  DWORD size;
};

struct VersionInfo {
  WORD fileVersion[4];
  WORD productVersion[4];
  LPCWSTR productName;
  LPCWSTR originalFileName;
};

// A resource of a named type ("CEUX") and name ("HI_RES_AWARE").
struct CustomResource {
  LPCWSTR type;
  LPCWSTR name;
  const BYTE* data;
  DWORD size;
};

struct ResourceTable {
  const StringResource* strings;
  UINT stringCount;
  const DialogTemplate* dialogs;
  UINT dialogCount;
  const IconGroup* icons;
  UINT iconCount;
  const VersionInfo* version;
  const CustomResource* customs;
  UINT customCount;
};

void RegisterResources(const ResourceTable* table);
const ResourceTable* RegisteredResources();
const DialogTemplate* FindDialogTemplate(UINT id);
// The icon group `id` of the program's resources as stored, null when there is none.
const IconGroup* FindIconGroup(UINT id);
const CustomResource* FindCustomResource(LPCWSTR type, LPCWSTR name);

// The application object. A program has exactly one, a global whose constructor makes it the
// process's application. The framework's program entry first enforces a single running instance
// (on Pocket PC and Smartphone shells), then runs InitInstance; when it returns FALSE the
// program ends without entering a message loop of its own.
class Application {
 public:
  Application();
  virtual ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  virtual BOOL InitInstance();

  // The registry key under which the application would keep its settings.
  void SetRegistryKey(LPCWSTR key);
  LPCWSTR RegistryKey() const { return registryKey_; }

  Window* mainWindow = nullptr;

 private:
  LPCWSTR registryKey_ = nullptr;
};
Application* CurrentApplication();

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

// Binds `control` to the control `controlId` of the exchange's dialog (no-op when saving).
void BindControl(DataExchange* exchange, int controlId, Control& control);

// A modal dialog built from a dialog template. DoModal creates the window and its controls,
// runs OnInitDialog and then the dialog's message loop on the calling thread (which becomes the
// thread that owns the dialog and its controls) until EndDialog; it returns the EndDialog result
// or -1 when the template does not exist.
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
  BOOL UpdateData(BOOL saveAndValidate);
  HWND GetDlgItem(int controlId) const;

  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 protected:
  virtual void DoDataExchange(DataExchange* exchange);
  // Binds the controls (UpdateData(FALSE)) and, on a Pocket PC or Smartphone shell, sizes the
  // dialog to the full screen (with a Done button acting as OK on Pocket PC). Returns TRUE.
  virtual BOOL OnInitDialog();
  // Takes the controls' data, then ends the dialog with IDOK.
  virtual void OnOK();
  // Ends the dialog with IDCANCEL.
  virtual void OnCancel();
  virtual void OnTimer(UINT_PTR timerId);
  virtual void OnSize(UINT type, int width, int height);

 private:
  struct State;
  std::unique_ptr<State> state_;
};
