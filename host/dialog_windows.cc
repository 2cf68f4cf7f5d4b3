// Windows of the host dialog framework: message delivery, the static and progress-bar controls,
// the modal dialog and window timers.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "host/dialog_front_end.h"
#include "host/dialog_loop.h"

namespace host {

LRESULT CallOnUiThread(const std::function<LRESULT()>& call) {
  MessageLoop& loop = MessageLoop::Instance();
  if (loop.IsUiThread()) return call();
  struct Pending {
    std::mutex mutex;
    std::condition_variable done;
    std::atomic<bool> finished{false};
    LRESULT result = 0;
  };
  auto pending = std::make_shared<Pending>();
  const bool posted = loop.Post([pending, call] {
    const LRESULT result = call();
    std::lock_guard lock(pending->mutex);
    pending->result = result;
    pending->finished.store(true);
    pending->done.notify_all();
  });
  if (!posted) return call();
  // Most calls are answered within microseconds: watch for the answer before sleeping on it.
  const auto until = std::chrono::steady_clock::now() + kSpinBeforeSleep;
  while (!pending->finished.load() && std::chrono::steady_clock::now() < until)
    std::this_thread::yield();
  std::unique_lock lock(pending->mutex);
  pending->done.wait(lock, [&] { return pending->finished.load(); });
  return pending->result;
}

const ControlView* DialogView::Find(WORD id) const {
  for (const ControlView& control : controls) {
    if (control.id == id) return &control;
  }
  return nullptr;
}

namespace {

// A static text or progress-bar control. Its state is the view the front ends draw; every change
// is reported to the dialog, which tells the front end once the dialog is shown.
class ControlWindow : public Window {
 public:
  ControlWindow(const DialogItemTemplate& item, std::function<void(WORD)> changed)
      : changed_(std::move(changed)) {
    view_.id = item.id;
    view_.progressBar =
        item.className != nullptr && std::u16string_view(item.className) == u"msctls_progress32";
    view_.x = item.x;
    view_.y = item.y;
    view_.width = item.width;
    view_.height = item.height;
    if (item.text != nullptr) view_.text = item.text;
  }

  const ControlView& View() const { return view_; }

  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
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

 private:
  void SetPosition(int position) {
    view_.position = std::clamp(position, std::min(view_.rangeLow, view_.rangeHigh),
                                std::max(view_.rangeLow, view_.rangeHigh));
  }

  ControlView view_;
  std::function<void(WORD)> changed_;
};

}  // namespace
}  // namespace host

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

UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR timerId, UINT elapse, TIMERPROC timerProc) {
  if (window == nullptr || timerProc != nullptr || timerId == 0) return 0;
  return static_cast<UINT_PTR>(host::CallOnUiThread([=]() -> LRESULT {
    host::MessageLoop::Instance().SetTimer(window, timerId, elapse);
    return static_cast<LRESULT>(timerId);
  }));
}

BOOL WINAPI KillTimer(HWND window, UINT_PTR timerId) {
  if (window == nullptr) return FALSE;
  return static_cast<BOOL>(host::CallOnUiThread([=]() -> LRESULT {
    return host::MessageLoop::Instance().KillTimer(window, timerId) ? TRUE : FALSE;
  }));
}

// ---------------------------------------------------------------------------------------------
// The modal dialog.

struct ModalDialog::State {
  UINT templateId = 0;
  HWND parent = nullptr;
  const DialogTemplate* dialogTemplate = nullptr;
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
    if (dialogTemplate != nullptr) {
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
  const DialogTemplate* dialogTemplate = FindDialogTemplate(state_->templateId);
  // One modal dialog at a time: the framework has a single UI thread.
  if (dialogTemplate == nullptr || loop.Attached()) return -1;

  state_->dialogTemplate = dialogTemplate;
  state_->title = dialogTemplate->title != nullptr ? dialogTemplate->title : u"";
  state_->ended = false;
  state_->shown = false;
  for (const auto& control : state_->controls) host::UnregisterFrameworkWindow(control->Handle());
  state_->controls.clear();
  for (UINT index = 0; index < dialogTemplate->itemCount; ++index) {
    State* state = state_.get();
    state_->controls.push_back(std::make_unique<host::ControlWindow>(
        dialogTemplate->items[index], [state](WORD controlId) {
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
    host::PublishTopLevelWindow(*dialogTemplate);
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

BOOL ModalDialog::UpdateData(BOOL saveAndValidate) {
  DataExchange exchange(this, saveAndValidate);
  DoDataExchange(&exchange);
  return TRUE;
}

HWND ModalDialog::GetDlgItem(int controlId) const {
  for (const auto& control : state_->controls) {
    if (control->View().id == controlId) return control->Handle();
  }
  return nullptr;
}

LRESULT ModalDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) OnOK();
      if (LOWORD(wParam) == IDCANCEL) OnCancel();
      return 0;
    case WM_TIMER:
      OnTimer(static_cast<UINT_PTR>(wParam));
      return 0;
    case WM_SIZE:
      OnSize(static_cast<UINT>(wParam), LOWORD(static_cast<std::uintptr_t>(lParam)),
             HIWORD(static_cast<std::uintptr_t>(lParam)));
      if (state_->shown) {
        if (host::FrontEnd* frontEnd = host::CurrentFrontEnd()) {
          frontEnd->DialogResized(state_->View());
        }
      }
      return 0;
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

void ModalDialog::DoDataExchange(DataExchange* /*exchange*/) {}

BOOL ModalDialog::OnInitDialog() {
  UpdateData(FALSE);
  // Pocket PC and Smartphone shells show a dialog over the whole screen (on Pocket PC with a
  // Done button that acts as OK); other shells keep the template's size.
  state_->fullScreen = host::CurrentShell() != sim::Shell::Other;
  return TRUE;
}

void ModalDialog::OnOK() {
  UpdateData(TRUE);
  EndDialog(IDOK);
}

void ModalDialog::OnCancel() {
  EndDialog(IDCANCEL);
}

void ModalDialog::OnTimer(UINT_PTR /*timerId*/) {}

void ModalDialog::OnSize(UINT /*type*/, int /*width*/, int /*height*/) {}

void BindControl(DataExchange* exchange, int controlId, Control& control) {
  if (exchange == nullptr || exchange->saveAndValidate) return;
  if (exchange->dialog != nullptr) control.Attach(exchange->dialog->GetDlgItem(controlId));
}
