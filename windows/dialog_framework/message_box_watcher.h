// Answers the message boxes of this process from inside it, as a user would, while they are
// shown: real boxes of the platform, never bypassed. A thread of its own looks among the
// process's top-level windows for boxes, reads what each shows and posts the answer to it as a
// click of that button. (Keys sent from outside the process do not reach a box reliably.)
#pragma once

#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "platform/dialog_framework.h"

namespace windows {

// What a message box shows, read from its window.
struct MessageBoxView {
  DWORD threadId = 0;  // the thread that shows it
  std::wstring text;
  std::wstring caption;
  // The style the box shows: its buttons (MB_OK, MB_OKCANCEL ...), its icon (MB_ICONHAND,
  // MB_ICONQUESTION, MB_ICONEXCLAMATION, MB_ICONASTERISK) and MB_SETFOREGROUND when it is the
  // foreground window.
  UINT style = 0;
};

// The string id and the type the program passed to AppMessageBox for the box the thread
// `threadId` shows now; false when that thread shows none of the program's boxes.
bool ProgramBoxOf(DWORD threadId, UINT* stringId, UINT* typePassed);

class MessageBoxWatcher {
 public:
  // `answer` runs on the watcher's thread once for each box, and returns the button to click
  // (IDOK, IDCANCEL ...).
  explicit MessageBoxWatcher(std::function<int(const MessageBoxView&)> answer);
  // Stops watching; boxes still open stay open.
  ~MessageBoxWatcher();
  MessageBoxWatcher(const MessageBoxWatcher&) = delete;
  MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;

 private:
  void Watch();

  std::function<int(const MessageBoxView&)> answer_;
  std::set<HWND> answered_;  // boxes answered and not yet gone (watcher thread only)
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace windows
