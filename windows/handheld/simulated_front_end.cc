// A run on the simulated device, with the environment contract of the bench's updater:
// ORVANTA_UI=headless shows the real dialog and the real message boxes, answers each box from
// inside the program from ORVANTA_ANSWERS, and writes the transcript (ORVANTA_TRANSCRIPT, else
// standard output) of what the windows showed: the dialog's title and warning label, the counter
// label's text and the bar's position read back from the controls after each change, and the
// text of each box. ORVANTA_HOLD_BOXES names a file that holds each box on screen until someone
// looking at it lets it go: before the box is answered its text is written there, and the answer
// waits until the file is removed. Without ORVANTA_UI=headless the windows wait for a user.
#include "windows/handheld/simulated_front_end.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/dialog_framework/transcript_writer.h"
#include "host/headless_ui/answer_script.h"
#include "host/text/text_encoding.h"
#include "windows/dialog_framework/message_box_watcher.h"
#include "windows/dialog_framework/program.h"
#include "windows/handheld/handheld.h"

namespace windows {
namespace {

struct HeadlessRun {
  std::unique_ptr<host::TranscriptWriter> transcript;
  std::mutex answersMutex;
  std::optional<host::AnswerScript> answers;
  // The update dialog and its bar, once made (the UI thread's hook only).
  HWND dialog = nullptr;
  HWND bar = nullptr;
  // While the dialog initialises: a box its worker shows meanwhile is answered after the
  // dialog's line is written, as the user saw the dialog first.
  std::atomic<bool> initialising{false};
  std::string holdFile;  // ORVANTA_HOLD_BOXES, empty when boxes are answered at once
  std::unique_ptr<MessageBoxWatcher> watcher;
};
// Never destroyed: the worker may still report while the process ends.
HeadlessRun* headless = nullptr;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

std::u16string Text(HWND window) {
  const std::wstring text = WindowText(window);
  return std::u16string(text.begin(), text.end());
}

int BarPosition() {
  return static_cast<int>(SendMessageW(headless->bar, PBM_GETPOS, 0, 0));
}

// What a message handled on the UI thread changed in the dialog. The dialog is the first one
// with a progress bar (a message box has none); what its initialisation set shows in its first
// line.
void Observe(const CWPRETSTRUCT& message) {
  if (headless->dialog == nullptr) {
    if (message.message != WM_INITDIALOG) return;
    HWND bar = FindWindowExW(message.hwnd, nullptr, PROGRESS_CLASSW, nullptr);
    if (bar == nullptr) return;
    headless->dialog = message.hwnd;
    headless->bar = bar;
    HWND warning = FindWindowExW(message.hwnd, nullptr, L"Static", nullptr);
    headless->transcript->DialogShown(
        Text(message.hwnd), static_cast<WORD>(warning != nullptr ? GetDlgCtrlID(warning) : 0),
        warning != nullptr ? Text(warning) : std::u16string(), BarPosition());
    headless->initialising.store(false);
    return;
  }
  if (message.hwnd == headless->bar) {
    switch (message.message) {
      case PBM_SETPOS:
      case PBM_DELTAPOS:
      case PBM_STEPIT:
      case PBM_SETRANGE:
      case PBM_SETRANGE32:
        headless->transcript->PositionChanged(BarPosition());
        break;
      default:
        break;
    }
  } else if (message.message == WM_SETTEXT &&
             GetAncestor(message.hwnd, GA_PARENT) == headless->dialog) {
    // (GetParent would give a box the dialog owns too.)
    headless->transcript->TextChanged(static_cast<WORD>(GetDlgCtrlID(message.hwnd)),
                                      Text(message.hwnd));
  }
}

LRESULT CALLBACK BeforeMessage(int code, WPARAM wParam, LPARAM lParam) {
  const auto* message = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && headless->dialog == nullptr && message->message == WM_INITDIALOG &&
      FindWindowExW(message->hwnd, nullptr, PROGRESS_CLASSW, nullptr) != nullptr) {
    headless->initialising.store(true);
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK AfterMessage(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HC_ACTION) Observe(*reinterpret_cast<const CWPRETSTRUCT*>(lParam));
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Writes the box's text to `file` (whole: written beside it and renamed) and waits until the
// file is removed. A file that cannot be written holds nothing: the box is answered at once,
// with one line on standard error.
void HoldOnScreen(const std::string& file, const std::wstring& text) {
  const std::string written = file + ".new";
  const std::string utf8 =
      host::Utf8FromUtf16(std::u16string(text.begin(), text.end()), host::Malformed::Replace)
          .value_or(std::string());
  std::FILE* stream = std::fopen(written.c_str(), "wb");
  bool held = stream != nullptr;
  if (held) {
    held = std::fwrite(utf8.data(), 1, utf8.size(), stream) == utf8.size() &&
           std::fputc('\n', stream) != EOF;
    held = std::fclose(stream) == 0 && held;
  }
  if (!held || !MoveFileExA(written.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    std::fprintf(stderr, "ORVANTA_HOLD_BOXES: cannot write %s: the box is answered at once\n",
                 file.c_str());
    DeleteFileA(written.c_str());
    return;
  }
  while (GetFileAttributesA(file.c_str()) != INVALID_FILE_ATTRIBUTES) Sleep(50);
}

int Answer(const MessageBoxView& box) {
  UINT stringId = 0;
  UINT typePassed = box.style & MB_TYPEMASK;
  ProgramBoxOf(box.threadId, &stringId, &typePassed);
  // (Bounded: a box the initialisation itself waited on would otherwise never be answered.)
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (headless->initialising.load() && std::chrono::steady_clock::now() < until) Sleep(1);
  if (!headless->holdFile.empty()) HoldOnScreen(headless->holdFile, box.text);
  std::lock_guard lock(headless->answersMutex);
  const int answer = headless->answers->Next(typePassed, *headless->transcript);
  headless->transcript->MessageAnswered(stringId, std::u16string(box.text.begin(), box.text.end()),
                                        typePassed, answer);
  return answer;
}

}  // namespace

bool StartRun(std::string* error) {
  const std::string ui = Environment("ORVANTA_UI");
  if (ui.empty() || ui == "tui") return true;
  if (ui != "headless") {
    *error = "ORVANTA_UI: unknown front end '" + ui + "' (tui or headless)";
    return false;
  }
  auto run = std::make_unique<HeadlessRun>();
  run->answers = host::AnswerScript::Parse(Environment("ORVANTA_ANSWERS"), error);
  if (!run->answers) return false;
  if (run->answers->AnswersNone()) {
    // Every box here is a real one: there is no box that cannot be shown.
    *error = "ORVANTA_ANSWERS: 'none' (a box that cannot be shown) is not possible here";
    return false;
  }
  run->transcript = host::TranscriptWriter::Open(Environment("ORVANTA_TRANSCRIPT"), error);
  if (!run->transcript) return false;
  run->holdFile = Environment("ORVANTA_HOLD_BOXES");
  // The dialog runs on this thread: its messages, those other threads send it included, pass the
  // hooks before and after they are handled.
  if (SetWindowsHookExW(WH_CALLWNDPROC, BeforeMessage, nullptr, GetCurrentThreadId()) == nullptr ||
      SetWindowsHookExW(WH_CALLWNDPROCRET, AfterMessage, nullptr, GetCurrentThreadId()) ==
          nullptr) {
    *error = "cannot watch the dialog (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  headless = run.release();
  headless->watcher = std::make_unique<MessageBoxWatcher>(Answer);
  return true;
}

void EndRun(int status) {
  if (headless != nullptr) headless->transcript->Exiting(status);
}

void RecordRestart() {
  if (headless != nullptr) headless->transcript->Restarting();
}

}  // namespace windows
