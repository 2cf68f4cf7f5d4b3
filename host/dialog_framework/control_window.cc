#include "host/dialog_framework/control_window.h"

#include <algorithm>

namespace host {

LRESULT ControlWindow::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SETTEXT: {
      const auto* text = reinterpret_cast<LPCWSTR>(lParam);
      std::u16string newText = text != nullptr ? std::u16string(text) : std::u16string();
      if (newText != view_.text) {
        view_.text = std::move(newText);
        changed_(view_.id);
      }
      return TRUE;
    }
    case PBM_SETRANGE: {
      const LRESULT previous =
          MAKELPARAM(static_cast<WORD>(view_.rangeLow), static_cast<WORD>(view_.rangeHigh));
      view_.rangeLow = LOWORD(static_cast<std::uintptr_t>(lParam));
      view_.rangeHigh = HIWORD(static_cast<std::uintptr_t>(lParam));
      SetPosition(view_.position);
      changed_(view_.id);
      return previous;
    }
    case PBM_SETPOS: {
      const int previous = view_.position;
      SetPosition(static_cast<int>(static_cast<std::intptr_t>(wParam)));
      if (view_.position != previous) changed_(view_.id);
      return previous;
    }
    case PBM_DELTAPOS: {
      const int previous = view_.position;
      SetPosition(previous + static_cast<int>(static_cast<std::intptr_t>(wParam)));
      if (view_.position != previous) changed_(view_.id);
      return previous;
    }
    case PBM_GETPOS:
      return view_.position;
    default:
      return 0;
  }
}

void ControlWindow::SetPosition(int position) {
  view_.position = std::clamp(position, std::min(view_.rangeLow, view_.rangeHigh),
                              std::max(view_.rangeLow, view_.rangeHigh));
}

}  // namespace host
