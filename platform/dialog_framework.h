// The dialog framework: a small stand-in for the device's application framework.
//
// Only the part that the worker side of the system (update/, signing/) calls is fixed here:
// windows are addressed by HWND, a message sent to a control is synchronous (SendMessageW
// returns once the thread that owns the window has handled it), and the application message
// box shows a string-table text and blocks only its caller. The application object, the modal
// dialog, timers and string resources are declared further down by the dialog framework.
#pragma once

#include "platform/types.h"

// A window or control. The host framework owns the real ones; a test may implement its own
// (a window that belongs to no running dialog handles its messages on the sender's thread).
class Window {
 public:
  virtual ~Window() = default;
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) = 0;
};
using HWND = Window*;

// Delivers the message to the window on the thread that owns it and waits for the result.
LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL SetWindowTextW(HWND window, LPCWSTR text);

// Loads string resource `id` into `buffer` (at most bufferLength - 1 units and a terminator).
// Returns the number of units copied, 0 when there is no such string.
int LoadStringW(UINT id, LPWSTR buffer, int bufferLength);

// The application message box: shows string resource `stringId` with `type` (MB_OK or
// MB_OKCANCEL; MB_ICONEXCLAMATION and MB_SETFOREGROUND are added when the type names no icon),
// captioned with the application's name. Blocks the calling thread until the user answers and
// returns IDOK or IDCANCEL, or another value when the box could not be shown.
int AppMessageBox(UINT stringId, UINT type);
