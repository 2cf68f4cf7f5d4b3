// Message delivery to the windows of the host framework: SendMessageW runs the window's
// procedure on the UI thread and waits for it; a window of no running dialog (a test's) handles
// its messages on the sender's thread.
#include "host/dialog_framework/message_loop.h"

Window::Window() : handle_(reinterpret_cast<HWND>(this)) {}

Window::~Window() = default;

LRESULT WINAPI SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (window == nullptr) return 0;
  Window* object = host::WindowOf(window);
  // Windows that no dialog of the framework owns (a test's) run on the sender's thread.
  if (!host::IsFrameworkWindow(window)) return object->WindowProc(message, wParam, lParam);
  return host::CallOnUiThread([=] { return object->WindowProc(message, wParam, lParam); });
}

BOOL WINAPI PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (window == nullptr) return FALSE;
  host::MessageLoop& loop = host::MessageLoop::Instance();
  if (!host::IsFrameworkWindow(window)) return FALSE;
  return loop.Post([=] {
    if (host::IsFrameworkWindow(window))
      host::WindowOf(window)->WindowProc(message, wParam, lParam);
  })
             ? TRUE
             : FALSE;
}

BOOL WINAPI SetWindowTextW(HWND window, LPCWSTR text) {
  if (window == nullptr) return FALSE;
  return SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) != 0 ? TRUE : FALSE;
}
