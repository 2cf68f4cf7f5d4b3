// The stand-in update dialog with a progress bar that records what reaches it, on the sender's
// thread (the window belongs to no running dialog).
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "testsupport/stand_in_dialog.h"

namespace test {

struct WindowMessage {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  int operation;  // the dialog's operation counter when the message arrived
  bool operator==(const WindowMessage&) const = default;
};

class RecordingWindow : public Window {
 public:
  // `dialog`: whose operation counter each message records (none: 0).
  explicit RecordingWindow(const UpdateDialog* dialog = nullptr) : dialog_(dialog) {}

  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  std::vector<WindowMessage> Messages() const;
  // The PBM_SETPOS positions in order.
  std::vector<WPARAM> Positions() const;

  // Runs, on the sender's thread, for every message after it was recorded.
  std::function<void(const WindowMessage&)> onMessage;

 private:
  const UpdateDialog* dialog_;
  mutable std::mutex mutex_;
  std::vector<WindowMessage> messages_;
};

// The stand-in dialog whose progress bar is a RecordingWindow.
struct RecordingDialog : UpdateDialog {
  RecordingDialog() { progressBar = bar.Handle(); }
  RecordingWindow bar{this};
};

}  // namespace test
