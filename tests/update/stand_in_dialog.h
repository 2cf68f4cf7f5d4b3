// A stand-in for the update dialog: counts operations and records what reaches its progress
// bar, on the sender's thread (the window belongs to no running dialog).
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "signing/update_dialog_link.h"

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
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  std::vector<WindowMessage> Messages() const;
  // The PBM_SETPOS positions in order.
  std::vector<WPARAM> Positions() const;

  int operation = 0;
  // Runs, on the sender's thread, for every message after it was recorded.
  std::function<void(const WindowMessage&)> onMessage;

 private:
  mutable std::mutex mutex_;
  std::vector<WindowMessage> messages_;
};

// Called by AdvanceOperation with the new counter value, before it returns.
using OperationHook = void (*)(int operation);

}  // namespace test

class UpdateDialog {
 public:
  int operations = 0;
  test::RecordingWindow progressBar;
  test::OperationHook onOperation = nullptr;
};
