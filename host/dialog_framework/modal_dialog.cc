// The modal dialog of the host framework.
#include "host/dialog_framework/control_window.h"
#include "host/dialog_framework/front_end.h"
#include "host/dialog_framework/message_loop.h"
#include "host/dialog_framework/window_registry.h"

struct ModalDialog::State {
  UINT templateId = 0;
  HWND parent = nullptr;
  std::optional<host::DialogTemplate> dialogTemplate;
  std::vector<std::unique_ptr<host::ControlWindow>> controls;
  std::u16string title;
  bool fullScreen = false;
  bool shown = false;
  bool ended = false;
  INT_PTR result = 0;
  HICON bigIcon = nullptr;
  HICON smallIcon = nullptr;

  host::DialogView View() const {
    host::DialogView view;
    view.title = title;
    if (dialogTemplate) {
      view.width = dialogTemplate->width;
      view.height = dialogTemplate->height;
      view.captionOkButton = (dialogTemplate->exStyle & WS_EX_CAPTIONOKBTN) != 0;
    }
    view.fullScreen = fullScreen;
    for (const auto& control : controls) view.controls.push_back(control->View());
    return view;
  }
};

ModalDialog::ModalDialog(UINT templateId, HWND parent) : state_(std::make_unique<State>()) {
  state_->templateId = templateId;
  state_->parent = parent;
}

ModalDialog::~ModalDialog() {
  host::UnregisterFrameworkWindow(Handle());
  for (const auto& control : state_->controls) host::UnregisterFrameworkWindow(control->Handle());
}

INT_PTR ModalDialog::DoModal() {
  host::MessageLoop& loop = host::MessageLoop::Instance();
  // One modal dialog at a time: the framework has a single UI thread.
  if (loop.Attached()) return -1;
  state_->dialogTemplate = host::LoadDialogTemplate(state_->templateId);
  if (!state_->dialogTemplate) return -1;
  const host::DialogTemplate& dialogTemplate = *state_->dialogTemplate;
  state_->title = dialogTemplate.title;
  state_->ended = false;
  state_->shown = false;
  for (const auto& control : state_->controls) host::UnregisterFrameworkWindow(control->Handle());
  state_->controls.clear();
  for (const host::DialogItemTemplate& item : dialogTemplate.items) {
    State* state = state_.get();
    state_->controls.push_back(std::make_unique<host::ControlWindow>(item, [state](WORD controlId) {
      if (!state->shown) return;
      if (host::FrontEnd* frontEnd = host::CurrentFrontEnd()) {
        frontEnd->ControlChanged(state->View(), controlId);
      }
    }));
    host::RegisterFrameworkWindow(state_->controls.back()->Handle());
  }
  host::RegisterFrameworkWindow(Handle());

  loop.Attach();
  OnInitDialog();
  if (!state_->ended) {
    state_->shown = true;
    // Findable by another instance from the moment the dialog can be seen.
    host::PublishTopLevelWindow(dialogTemplate);
    if (host::FrontEnd* frontEnd = host::CurrentFrontEnd()) {
      frontEnd->DialogShown(Handle(), state_->View());
    }
    loop.RunUntil([this] { return state_->ended; });
    host::WithdrawTopLevelWindow();
  }
  state_->shown = false;
  loop.KillTimers(Handle());
  for (const auto& control : state_->controls) loop.KillTimers(control->Handle());
  if (host::FrontEnd* frontEnd = host::CurrentFrontEnd()) frontEnd->DialogClosed();
  loop.Detach();
  return state_->result;
}

void ModalDialog::EndDialog(INT_PTR result) {
  state_->result = result;
  state_->ended = true;
  host::MessageLoop::Instance().Wake();
}

HWND ModalDialog::GetDlgItem(int controlId) const {
  for (const auto& control : state_->controls) {
    if (control->View().id == controlId) return control->Handle();
  }
  return nullptr;
}

LRESULT ModalDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (RouteToHandler(message, wParam, lParam)) {
    if (message == WM_SIZE && state_->shown) {
      if (host::FrontEnd* frontEnd = host::CurrentFrontEnd()) {
        frontEnd->DialogResized(state_->View());
      }
    }
    return 0;
  }
  switch (message) {
    case WM_SETICON: {
      HICON& slot = wParam == ICON_BIG ? state_->bigIcon : state_->smallIcon;
      const HICON previous = slot;
      slot = reinterpret_cast<HICON>(lParam);
      return reinterpret_cast<LRESULT>(previous);
    }
    case WM_SETTEXT: {
      const auto* text = reinterpret_cast<LPCWSTR>(lParam);
      state_->title = text != nullptr ? text : u"";
      return TRUE;
    }
    default:
      return 0;
  }
}

BOOL ModalDialog::OnInitDialog() {
  UpdateData(FALSE);
  // Pocket PC and Smartphone shells show a dialog over the whole screen (on Pocket PC with a
  // Done button that acts as OK); other shells keep the template's size.
  state_->fullScreen = host::CurrentShell() != sim::Shell::Other;
  return TRUE;
}
