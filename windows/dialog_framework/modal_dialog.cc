// The modal dialog of the Windows framework: DialogBoxParamW on a template of the program's
// resources, with a dialog procedure that hands the dialog's messages to the object.
#include "platform/dialog_framework.h"
#include "windows/handheld/handheld.h"

struct ModalDialog::State {
  UINT templateId = 0;
  HWND parent = nullptr;

  // WM_INITDIALOG attaches the platform's window to the object and runs OnInitDialog, whose
  // result decides the default focus; WM_COMMAND, WM_TIMER and WM_SIZE reach their handlers.
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
      auto* dialog = reinterpret_cast<ModalDialog*>(lParam);
      SetWindowLongPtrW(window, DWLP_USER, lParam);
      dialog->AttachHandle(window);
      return dialog->OnInitDialog();
    }
    auto* dialog = reinterpret_cast<ModalDialog*>(GetWindowLongPtrW(window, DWLP_USER));
    if (dialog == nullptr) return FALSE;
    return dialog->RouteToHandler(message, wParam, lParam) ? TRUE : FALSE;
  }
};

ModalDialog::ModalDialog(UINT templateId, HWND parent)
    : Window(AttachedLater{}), state_(std::make_unique<State>()) {
  state_->templateId = templateId;
  state_->parent = parent;
}

// The platform destroyed the dialog's window when the modal run ended.
ModalDialog::~ModalDialog() {
  AttachHandle(nullptr);
}

INT_PTR ModalDialog::DoModal() {
  // The progress bar's class is the common controls' own.
  const INITCOMMONCONTROLSEX controls = {sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  const INT_PTR result =
      DialogBoxParamW(AppInstance(), MAKEINTRESOURCEW(static_cast<WORD>(state_->templateId)),
                      state_->parent, State::Procedure, reinterpret_cast<LPARAM>(this));
  AttachHandle(nullptr);
  return result;
}

void ModalDialog::EndDialog(INT_PTR result) {
  ::EndDialog(Handle(), result);
}

HWND ModalDialog::GetDlgItem(int controlId) const {
  return ::GetDlgItem(Handle(), controlId);
}

LRESULT ModalDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  RouteToHandler(message, wParam, lParam);
  return 0;
}

BOOL ModalDialog::OnInitDialog() {
  UpdateData(FALSE);
  // Pocket PC and Smartphone shells show a dialog over the whole screen but the shell's own
  // bars; other shells keep the template's size.
  RECT area;
  if (windows::CurrentShell() != windows::Shell::Other &&
      SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0)) {
    MoveWindow(Handle(), area.left, area.top, area.right - area.left, area.bottom - area.top, TRUE);
  }
  return TRUE;
}
