// The framework's window object on Windows. One of its own is a message-only window of the
// platform whose procedure hands every message to Window::WindowProc on the thread that sends it
// (the window's own thread, as the platform delivers a message sent from it). A dialog's window
// is the one the platform makes from its template, attached by the modal dialog.
#include "platform/dialog_framework.h"

namespace {

constexpr wchar_t kClassName[] = L"OrvantaWindow";

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* object = reinterpret_cast<Window*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (object != nullptr) return object->WindowProc(message, wParam, lParam);
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateMessageWindow() {
  static const ATOM registered = [] {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = Procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    return RegisterClassW(&windowClass);
  }();
  if (registered == 0) return nullptr;
  return CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         GetModuleHandleW(nullptr), nullptr);
}

}  // namespace

Window::Window() : handle_(CreateMessageWindow()) {
  if (handle_ != nullptr)
    SetWindowLongPtrW(handle_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

// The object stops receiving messages before the platform's window goes: what the platform sends
// while it destroys the window is not the object's. A dialog has detached its window by now.
Window::~Window() {
  if (handle_ == nullptr) return;
  SetWindowLongPtrW(handle_, GWLP_USERDATA, 0);
  DestroyWindow(handle_);
}
