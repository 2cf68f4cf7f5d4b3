// The host dialog framework's inside: the UI thread's message loop and the front end that shows
// the dialog and its message boxes to a person (terminal) or a script (headless).
//
// Threads. The thread that runs ModalDialog::DoModal is the UI thread while the dialog runs.
// Everything that touches a window, and every FrontEnd call except Restarting, happens on it.
// Other threads reach windows through SendMessageW, which queues the call to the UI thread and
// waits for its result; AppMessageBox from another thread queues the box and blocks only the
// caller, while the UI thread goes on serving the dialog, its timers and other messages.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/text/text_encoding.h"
#include "platform/dialog_framework.h"
#include "sim/device.h"

namespace host {

// What a front end draws: the dialog in dialog units and its controls' current state.
struct ControlView {
  WORD id = 0;
  bool progressBar = false;
  short x = 0, y = 0, width = 0, height = 0;
  std::u16string text;
  int rangeLow = 0, rangeHigh = 100, position = 0;
};

struct DialogView {
  std::u16string title;
  short width = 0, height = 0;  // the template's size
  bool captionOkButton = false;
  // Pocket PC and Smartphone shells show the dialog over the whole screen.
  bool fullScreen = false;
  std::vector<ControlView> controls;  // in creation order

  const ControlView* Find(WORD id) const {
    for (const ControlView& control : controls) {
      if (control.id == id) return &control;
    }
    return nullptr;
  }
};

// A message box waiting for its answer. Answer may be called once, on the UI thread.
class MessageBoxRequest {
 public:
  MessageBoxRequest(UINT stringId, UINT typePassed, std::u16string text, std::u16string caption);

  UINT stringId;
  UINT typePassed;  // MB_OK or MB_OKCANCEL as the caller passed it
  UINT type;        // with MB_ICONEXCLAMATION and MB_SETFOREGROUND added
  std::u16string text;
  std::u16string caption;

  void Answer(int answer);
  bool Answered() const;
  // Blocks until answered; returns the answer.
  int Wait();

 private:
  mutable std::mutex mutex_;
  std::condition_variable answered_;
  std::optional<int> answer_;
};

class FrontEnd {
 public:
  virtual ~FrontEnd() = default;

  // A descriptor the UI thread polls for input (-1: none); HandleInput runs when it is readable
  // and also after a wake-up, so a front end that buffers input can drain it.
  virtual int InputDescriptor() const { return -1; }
  virtual void HandleInput() {}
  // The longest the UI thread may sleep without calling HandleInput (ms, -1: no limit).
  virtual int InputPollPeriod() const { return -1; }

  // The dialog's first frame, after its initialisation.
  virtual void DialogShown(HWND dialog, const DialogView& view) = 0;
  // A control's text, range or position changed.
  virtual void ControlChanged(const DialogView& view, WORD controlId) = 0;
  virtual void DialogResized(const DialogView& /*view*/) {}
  virtual void DialogClosed() {}
  // Show the box; answer it now or later (from HandleInput) through box->Answer.
  virtual void OpenMessageBox(const std::shared_ptr<MessageBoxRequest>& box) = 0;
  // Another instance of the program asked to bring this one to the foreground.
  virtual void BroughtToForeground() {}
  // Any thread: the device restarts; the process ends with status 0 right after.
  virtual void Restarting() {}
  // The program ends with `status`.
  virtual void Exiting(int /*status*/) {}
};

// The front end of this process (null until one is installed; then owned here).
void InstallFrontEnd(std::unique_ptr<FrontEnd> frontEnd);
FrontEnd* CurrentFrontEnd();

// The framework's program entry: enforces a single instance on Pocket PC and Smartphone shells
// and runs the application's start-up step. Returns -1 when another instance was brought to
// the foreground instead, 0 otherwise.
inline constexpr int kSecondInstanceExitCode = -1;
int RunApplication();

// Dialog texts for a terminal or a transcript, and program paths as dialog texts: malformed
// text shows as U+FFFD.
inline std::string DialogTextToUtf8(std::u16string_view text) {
  return *Utf8FromUtf16(text, Malformed::Replace);
}
inline std::u16string DialogTextFromUtf8(std::string_view text) {
  return *Utf16FromUtf8(text, Malformed::Replace);
}

// The simulated AC line (device.json), for the front ends' power controls.
std::optional<sim::AcLine> ReadAcLine();
bool SetAcLine(sim::AcLine line, std::string* error);

// The shell type of the current device; PocketPC when device.json cannot be read.
sim::Shell CurrentShell();

// Test hooks. With manual timers, window timers never fire on their own; FireTimers delivers one
// WM_TIMER for every timer that is set, on the UI thread, and returns once they are handled
// (false when no UI thread runs).
void SetManualTimers(bool manual);
bool FireTimers();
// How often KeepDeviceAwake was called in this process.
std::uint64_t KeepDeviceAwakeCalls();
// True while a dialog's message loop runs.
bool DialogRunning();

}  // namespace host
