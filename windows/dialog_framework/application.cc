// The program the application belongs to.
#include "platform/dialog_framework.h"
#include "windows/dialog_framework/program.h"

// The program file holds the resources; in a test program the test program does.
HINSTANCE AppInstance() {
  return GetModuleHandleW(nullptr);
}

namespace windows {

std::wstring ProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::wstring ApplicationName() {
  std::wstring name = ProgramPath();
  name.erase(0, name.find_last_of(L"\\/") + 1);
  const std::size_t extension = name.rfind(L'.');
  if (extension != std::wstring::npos) name.erase(extension);
  return name;
}

std::wstring WindowText(HWND window) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

}  // namespace windows
