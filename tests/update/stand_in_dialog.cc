#include "stand_in_dialog.h"

namespace test {

LRESULT RecordingWindow::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  const WindowMessage recorded{message, wParam, lParam, operation};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(recorded);
  }
  if (onMessage) {
    onMessage(recorded);
  }
  return 0;
}

std::vector<WindowMessage> RecordingWindow::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::vector<WPARAM> RecordingWindow::Positions() const {
  std::vector<WPARAM> positions;
  for (const WindowMessage& message : Messages()) {
    if (message.message == PBM_SETPOS) {
      positions.push_back(message.wParam);
    }
  }
  return positions;
}

}  // namespace test

void AdvanceOperation(UpdateDialog* dialog) {
  ++dialog->operations;
  dialog->progressBar.operation = dialog->operations;
  if (dialog->onOperation != nullptr) {
    dialog->onOperation(dialog->operations);
  }
}

HWND DialogProgressBar(UpdateDialog* dialog) {
  return dialog->progressBar.Handle();
}
