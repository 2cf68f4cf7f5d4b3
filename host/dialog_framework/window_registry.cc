// The device-wide registry of top-level windows, which the single-instance check searches.
//
// The registry is a directory of the device, DIR/.kernel/windows/, with one file per process
// that shows a dialog (named after its pid) holding the window's properties, among them the
// program it runs. The process keeps an exclusive flock on its entry while it is published
// ("locked": true), so an entry whose process died counts as dead even when its pid has been
// reused; entries of processes that died are ignored and removed. Bringing another process's window
// to the foreground sends that process SIGUSR1, which its UI thread passes to its front end.
#include "host/dialog_framework/window_registry.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <system_error>

#include "host/dialog_framework/front_end.h"
#include "host/dialog_framework/message_loop.h"
#include "sim/device.h"

namespace host {
namespace {

int publishedEntry = -1;  // the descriptor holding the flock of this process's entry

constexpr char16_t kDialogClassName[] = u"Dialog";

std::filesystem::path WindowRegistry() {
  return sim::CurrentDevice().root / ".kernel" / "windows";
}

bool ProcessAlive(DWORD processId) {
  return kill(static_cast<pid_t>(processId), 0) == 0 || errno == EPERM;
}

// Whether the process that published a locked entry still holds its flock.
bool EntryHeld(const std::filesystem::path& file) {
  const int descriptor = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return false;
  const bool held = ::flock(descriptor, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(descriptor);
  return held;
}

// A top-level window of another process, as the registry describes it.
class ForeignWindow : public Window {
 public:
  LRESULT WindowProc(UINT, WPARAM, LPARAM) override { return 0; }
  DWORD processId = 0;
  std::string program;  // the program the process runs, as it published it
  std::u16string className;
  std::u16string title;
  DWORD style = 0;
  DWORD exStyle = 0;
  bool visible = false;
};

std::mutex foreignMutex;
std::vector<std::unique_ptr<ForeignWindow>> foreignWindows;  // valid until the next EnumWindows

ForeignWindow* AsForeign(HWND window) {
  std::lock_guard lock(foreignMutex);
  for (const auto& foreign : foreignWindows) {
    if (foreign->Handle() == window) return foreign.get();
  }
  return nullptr;
}
}  // namespace

void PublishTopLevelWindow(const DialogTemplate& dialogTemplate) {
  std::error_code error;
  std::filesystem::create_directories(WindowRegistry(), error);
  nlohmann::json entry = {
      {"pid", getpid()},
      {"program", ProgramPath()},
      {"class", DialogTextToUtf8(kDialogClassName)},
      {"title", DialogTextToUtf8(dialogTemplate.title)},
      {"style", dialogTemplate.style},
      {"ex_style", dialogTemplate.exStyle},
      {"visible", (dialogTemplate.style & WS_VISIBLE) != 0},
      {"locked", true},
  };
  const std::filesystem::path file = WindowRegistry() / std::to_string(getpid());
  const std::filesystem::path temporary = file.string() + ".tmp";
  // Locked before it is renamed into place, so no reader sees it published and not held.
  const int descriptor = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (descriptor < 0) return;
  const std::string text = entry.dump() + '\n';
  if (::flock(descriptor, LOCK_EX) != 0 ||
      ::write(descriptor, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    ::close(descriptor);
    std::filesystem::remove(temporary, error);
    return;
  }
  std::filesystem::rename(temporary, file, error);
  if (publishedEntry >= 0) ::close(publishedEntry);  // the entry it replaced
  publishedEntry = descriptor;
}

void WithdrawTopLevelWindow() {
  std::error_code error;
  std::filesystem::remove(WindowRegistry() / std::to_string(getpid()), error);
  if (publishedEntry >= 0) ::close(publishedEntry);
  publishedEntry = -1;
}

std::string RegisteredProgram(HWND window) {
  std::lock_guard lock(foreignMutex);
  for (const auto& foreign : foreignWindows) {
    if (foreign->Handle() == window) return foreign->program;
  }
  return std::string();
}

}  // namespace host

BOOL WINAPI EnumWindows(WNDENUMPROC callback, LPARAM data) {
  if (callback == nullptr) return FALSE;
  std::vector<HWND> windows;
  {
    std::lock_guard lock(host::foreignMutex);
    host::foreignWindows.clear();
    std::error_code error;
    for (const auto& file : std::filesystem::directory_iterator(host::WindowRegistry(), error)) {
      if (file.path().extension() == ".tmp") continue;
      std::ifstream in(file.path());
      const nlohmann::json entry = nlohmann::json::parse(in, nullptr, false);
      if (entry.is_discarded() || !entry.is_object()) continue;
      auto window = std::make_unique<host::ForeignWindow>();
      window->processId = entry.value("pid", 0u);
      if (window->processId == 0 || !host::ProcessAlive(window->processId) ||
          (entry.value("locked", false) && !host::EntryHeld(file.path()))) {
        std::error_code ignored;
        std::filesystem::remove(file.path(), ignored);
        continue;
      }
      window->program = entry.value("program", std::string());
      window->className = host::DialogTextFromUtf8(entry.value("class", std::string()));
      window->title = host::DialogTextFromUtf8(entry.value("title", std::string()));
      window->style = entry.value("style", 0u);
      window->exStyle = entry.value("ex_style", 0u);
      window->visible = entry.value("visible", false);
      windows.push_back(window->Handle());
      host::foreignWindows.push_back(std::move(window));
    }
  }
  for (HWND window : windows) {
    if (!callback(window, data)) break;
  }
  return TRUE;
}

DWORD WINAPI GetWindowThreadProcessId(HWND window, LPDWORD processId) {
  DWORD owner = 0;
  if (const host::ForeignWindow* foreign = host::AsForeign(window)) {
    owner = foreign->processId;
  } else if (window != nullptr) {
    owner = static_cast<DWORD>(getpid());
  }
  if (processId != nullptr) *processId = owner;
  return owner;
}

BOOL WINAPI IsWindowVisible(HWND window) {
  if (const host::ForeignWindow* foreign = host::AsForeign(window)) {
    return foreign->visible ? TRUE : FALSE;
  }
  return window != nullptr ? TRUE : FALSE;
}

LONG WINAPI GetWindowLongW(HWND window, int index) {
  const host::ForeignWindow* foreign = host::AsForeign(window);
  if (foreign == nullptr) return 0;
  if (index == GWL_STYLE) return static_cast<LONG>(foreign->style);
  if (index == GWL_EXSTYLE) return static_cast<LONG>(foreign->exStyle);
  return 0;
}

// The registry lists only windows without an owner, and the framework's dialogs have none.
HWND WINAPI GetWindow(HWND /*window*/, UINT /*command*/) {
  return nullptr;
}

int WINAPI GetClassNameW(HWND window, LPWSTR buffer, int bufferLength) {
  if (buffer == nullptr || bufferLength <= 0) return 0;
  std::u16string name;
  if (const host::ForeignWindow* foreign = host::AsForeign(window)) {
    name = foreign->className;
  } else if (window != nullptr) {
    name = host::kDialogClassName;
  }
  const std::size_t copied = std::min<std::size_t>(name.size(), bufferLength - 1);
  name.copy(buffer, copied);
  buffer[copied] = u'\0';
  return static_cast<int>(copied);
}

BOOL WINAPI SetForegroundWindow(HWND window) {
  if (const host::ForeignWindow* foreign = host::AsForeign(window)) {
    return kill(static_cast<pid_t>(foreign->processId), SIGUSR1) == 0 ? TRUE : FALSE;
  }
  return window != nullptr ? TRUE : FALSE;
}
