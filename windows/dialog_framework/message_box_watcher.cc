#include "windows/dialog_framework/message_box_watcher.h"

#include "windows/dialog_framework/program.h"

#include <chrono>
#include <iterator>
#include <vector>

namespace windows {
namespace {

// A message box's text is the static control of this id, on the desktop platform and in Wine.
constexpr int kMessageTextId = 0xFFFF;
constexpr auto kPollPeriod = std::chrono::milliseconds(10);
// How long a box that asked for the foreground may take to get it.
constexpr auto kForegroundWait = std::chrono::milliseconds(500);

BOOL CALLBACK CollectBoxes(HWND window, LPARAM data) {
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  WCHAR className[16];
  if (processId == GetCurrentProcessId() && IsWindowVisible(window) &&
      GetClassNameW(window, className, static_cast<int>(std::size(className))) > 0 &&
      std::wstring_view(className) == L"#32770" && GetDlgItem(window, kMessageTextId) != nullptr) {
    reinterpret_cast<std::vector<HWND>*>(data)->push_back(window);
  }
  return TRUE;
}

// The MB_ICON* value of the system icon the box shows, 0 for none.
UINT IconOf(HWND box) {
  for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) continue;
    const auto shown = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
    const struct {
      LPCWSTR icon;
      UINT style;
    } icons[] = {{IDI_HAND, MB_ICONHAND},
                 {IDI_QUESTION, MB_ICONQUESTION},
                 {IDI_EXCLAMATION, MB_ICONEXCLAMATION},
                 {IDI_ASTERISK, MB_ICONASTERISK}};
    for (const auto& candidate : icons) {
      if (shown != nullptr && shown == LoadIconW(nullptr, candidate.icon)) return candidate.style;
    }
  }
  return 0;
}

// The MB_* button set of the buttons the box shows (the box keeps only those).
UINT ButtonsOf(HWND box) {
  const auto shows = [box](int button) { return GetDlgItem(box, button) != nullptr; };
  if (shows(IDABORT)) return MB_ABORTRETRYIGNORE;
  if (shows(IDYES)) return shows(IDCANCEL) ? MB_YESNOCANCEL : MB_YESNO;
  if (shows(IDRETRY)) return MB_RETRYCANCEL;
  return shows(IDCANCEL) ? MB_OKCANCEL : MB_OK;
}

MessageBoxView ViewOf(HWND box) {
  MessageBoxView view;
  view.threadId = GetWindowThreadProcessId(box, nullptr);
  view.text = WindowText(GetDlgItem(box, kMessageTextId));
  view.caption = WindowText(box);
  // The box takes the foreground while it starts, after it became visible.
  const auto until = std::chrono::steady_clock::now() + kForegroundWait;
  while (GetForegroundWindow() != box && std::chrono::steady_clock::now() < until) {
    Sleep(static_cast<DWORD>(kPollPeriod.count()));
  }
  view.style = ButtonsOf(box) | IconOf(box) | (GetForegroundWindow() == box ? MB_SETFOREGROUND : 0);
  return view;
}

}  // namespace

MessageBoxWatcher::MessageBoxWatcher(std::function<int(const MessageBoxView&)> answer)
    : answer_(std::move(answer)), thread_([this] { Watch(); }) {}

MessageBoxWatcher::~MessageBoxWatcher() {
  stopping_.store(true);
  thread_.join();
}

void MessageBoxWatcher::Watch() {
  while (!stopping_.load()) {
    std::erase_if(answered_, [](HWND box) { return !IsWindow(box); });
    std::vector<HWND> boxes;
    EnumWindows(CollectBoxes, reinterpret_cast<LPARAM>(&boxes));
    for (HWND box : boxes) {
      if (answered_.count(box) != 0) continue;
      const int button = answer_(ViewOf(box));
      answered_.insert(box);
      PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
    }
    Sleep(static_cast<DWORD>(kPollPeriod.count()));
  }
}

}  // namespace windows
